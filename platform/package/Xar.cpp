#include "platform/package/Xar.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace package {

namespace {

constexpr std::size_t kMaximumHeaderSize = 4096;
constexpr std::size_t kChunkSize = 256 * 1024;

bool fail(std::string* error, std::string text) {
    if (error != nullptr) {
        *error = std::move(text);
    }
    return false;
}

std::uint64_t bigEndian(const std::uint8_t* bytes, std::size_t count) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        value = value << 8 | bytes[i];
    }
    return value;
}

class FileSource final : public ByteSource {
public:
    FileSource(files::Descriptor descriptor, std::uint64_t size)
        : descriptor_(std::move(descriptor)), size_(size) {}
    std::uint64_t size() const override { return size_; }
    bool readAt(std::uint64_t offset, std::span<std::uint8_t> out) const override {
        std::size_t done = 0;
        while (done < out.size()) {
            const ssize_t got = ::pread(descriptor_.get(), out.data() + done, out.size() - done,
                                        static_cast<off_t>(offset + done));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                return false;
            }
            done += static_cast<std::size_t>(got);
        }
        return true;
    }

private:
    files::Descriptor descriptor_;
    std::uint64_t size_;
};

class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::uint64_t size() const override { return bytes_.size(); }
    bool readAt(std::uint64_t offset, std::span<std::uint8_t> out) const override {
        if (offset > bytes_.size() || out.size() > bytes_.size() - offset) {
            return false;
        }
        std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
        return true;
    }

private:
    std::span<const std::uint8_t> bytes_;
};

// One zlib stream that ends exactly with `compressed` and expands to exactly `expectedSize`.
std::optional<Bytes> inflateExactly(std::span<const std::uint8_t> compressed,
                                    std::size_t expectedSize, std::string* error) {
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) {
        fail(error, "cannot start zlib");
        return std::nullopt;
    }
    Bytes out(expectedSize + 1); // one byte more shows an over-long stream
    stream.next_in = const_cast<Bytef*>(compressed.data());
    stream.avail_in = static_cast<uInt>(compressed.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    const int status = inflate(&stream, Z_FINISH);
    const std::size_t produced = out.size() - stream.avail_out;
    const bool exact = status == Z_STREAM_END && stream.avail_in == 0 && produced == expectedSize;
    inflateEnd(&stream);
    if (!exact) {
        fail(error, "the table of contents does not expand to its stated size");
        return std::nullopt;
    }
    out.resize(produced);
    return out;
}

} // namespace

std::unique_ptr<XarArchive> XarArchive::open(const std::string& path, std::string* error) {
    files::Error openError;
    files::Descriptor descriptor =
        files::openFile(path, O_RDONLY, 0, files::Symlinks::DoNotFollow, &openError);
    if (!descriptor.valid()) {
        fail(error, openError.text);
        return nullptr;
    }
    struct stat status {};
    if (::fstat(descriptor.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        fail(error, path + " is not a regular file");
        return nullptr;
    }
    return read(std::make_unique<FileSource>(std::move(descriptor),
                                             static_cast<std::uint64_t>(status.st_size)),
                error);
}

std::unique_ptr<XarArchive> XarArchive::openBytes(std::span<const std::uint8_t> bytes,
                                                  std::string* error) {
    return read(std::make_unique<MemorySource>(bytes), error);
}

std::unique_ptr<XarArchive> XarArchive::read(std::unique_ptr<ByteSource> source,
                                             std::string* error) {
    std::unique_ptr<XarArchive> archive(new XarArchive(std::move(source)));
    if (!archive->load(error)) {
        return nullptr;
    }
    return archive;
}

bool XarArchive::load(std::string* error) {
    const std::uint64_t fileSize = source_->size();
    std::uint8_t fixed[kXarHeaderFixedSize];
    if (fileSize < sizeof fixed || !source_->readAt(0, fixed)) {
        return fail(error, "the file is shorter than a xar header");
    }
    if (std::memcmp(fixed, "xar!", 4) != 0) {
        return fail(error, "the file is not a xar archive");
    }
    const std::uint64_t headerSize = bigEndian(fixed + 4, 2);
    const std::uint64_t version = bigEndian(fixed + 6, 2);
    const std::uint64_t tocCompressed = bigEndian(fixed + 8, 8);
    const std::uint64_t tocExpanded = bigEndian(fixed + 16, 8);
    const std::uint64_t checksumKind = bigEndian(fixed + 24, 4);
    if (headerSize < kXarHeaderFixedSize || headerSize > kMaximumHeaderSize ||
        headerSize > fileSize) {
        return fail(error, "bad xar header size");
    }
    if (version != 1) {
        return fail(error, "unsupported xar version");
    }
    if (checksumKind != kXarChecksumNamed) {
        return fail(error, checksumKind == kXarChecksumSha1  ? "SHA-1 checksums are refused"
                           : checksumKind == kXarChecksumMd5 ? "MD5 checksums are refused"
                           : checksumKind == kXarChecksumNone
                               ? "an archive without checksum is refused"
                               : "unknown checksum algorithm");
    }
    Bytes nameField(headerSize - kXarHeaderFixedSize);
    if (!source_->readAt(kXarHeaderFixedSize, nameField)) {
        return fail(error, "truncated xar header");
    }
    auto terminator = std::find(nameField.begin(), nameField.end(), 0);
    if (terminator == nameField.end()) {
        return fail(error, "unterminated checksum name");
    }
    auto algorithm = digestAlgorithmNamed(std::string(nameField.begin(), terminator));
    if (!algorithm) {
        return fail(error, "the checksum algorithm is not SHA-256 or SHA-512");
    }
    if (tocCompressed == 0 || tocCompressed > kMaximumTocSize || tocExpanded == 0 ||
        tocExpanded > kMaximumTocSize) {
        return fail(error, "the table of contents' size is out of bounds");
    }
    if (tocCompressed > fileSize - headerSize) {
        return fail(error, "the table of contents runs past the end of the file");
    }
    Bytes compressed(tocCompressed);
    if (!source_->readAt(headerSize, compressed)) {
        return fail(error, "cannot read the table of contents");
    }
    auto xml = inflateExactly(compressed, tocExpanded, error);
    if (!xml) {
        return false;
    }
    auto toc = parseToc(*xml, error);
    if (!toc) {
        return false;
    }
    if (toc->checksumAlgorithm != *algorithm) {
        return fail(error, "the table of contents names another checksum than the header");
    }
    toc_ = std::move(*toc);
    heapStart_ = headerSize + tocCompressed;
    const std::uint64_t heapSize = fileSize - heapStart_;

    // Every byte of the heap belongs to exactly one range.
    std::vector<HeapRange> ranges{toc_.checksum};
    for (const XarSignatureEntry& signature : toc_.signatures) {
        ranges.push_back(signature.range);
    }
    for (const XarFileEntry& file : toc_.files) {
        if (!file.directory) {
            ranges.push_back(file.range);
        }
    }
    for (const HeapRange& range : ranges) {
        if (range.offset > heapSize || range.size > heapSize - range.offset) {
            return fail(error, "a range lies outside the heap");
        }
    }
    std::sort(ranges.begin(), ranges.end(), [](const HeapRange& a, const HeapRange& b) {
        return a.offset != b.offset ? a.offset < b.offset : a.size < b.size;
    });
    std::uint64_t covered = 0;
    for (const HeapRange& range : ranges) {
        if (range.offset < covered) {
            return fail(error, "ranges of the heap overlap");
        }
        if (range.offset > covered) {
            return fail(error, "the heap has bytes outside every range");
        }
        covered = range.offset + range.size;
    }
    if (covered != heapSize) {
        return fail(error, "the file has data after the heap");
    }

    signedData_.resize(toc_.checksum.size);
    if (!readHeap(toc_.checksum, signedData_)) {
        return fail(error, "cannot read the checksum");
    }
    if (digest(*algorithm, compressed) != signedData_) {
        return fail(error, "the table of contents does not match its checksum");
    }
    return true;
}

bool XarArchive::readHeap(HeapRange range, std::span<std::uint8_t> out) const {
    return out.size() <= range.size && source_->readAt(heapStart_ + range.offset, out);
}

std::optional<Bytes> XarArchive::signatureData(std::size_t index, std::string* error) const {
    if (index >= toc_.signatures.size()) {
        fail(error, "no such signature");
        return std::nullopt;
    }
    Bytes bytes(toc_.signatures[index].range.size);
    if (!readHeap(toc_.signatures[index].range, bytes)) {
        fail(error, "cannot read the signature");
        return std::nullopt;
    }
    return bytes;
}

const XarFileEntry* XarArchive::file(std::string_view path) const {
    for (const XarFileEntry& entry : toc_.files) {
        if (entry.path == path && !entry.directory) {
            return &entry;
        }
    }
    return nullptr;
}

template <class Sink>
bool XarArchive::streamArchived(const XarFileEntry& entry, Sink&& sink, std::string* error) const {
    Hasher hasher(entry.archivedAlgorithm);
    Bytes chunk(static_cast<std::size_t>(std::min<std::uint64_t>(entry.range.size, kChunkSize)));
    for (std::uint64_t done = 0; done < entry.range.size;) {
        const auto size =
            static_cast<std::size_t>(std::min<std::uint64_t>(entry.range.size - done, kChunkSize));
        std::span<std::uint8_t> part(chunk.data(), size);
        if (!source_->readAt(heapStart_ + entry.range.offset + done, part)) {
            return fail(error, "cannot read the data of " + entry.path);
        }
        hasher.update(part);
        if (!sink(std::span<const std::uint8_t>(part))) {
            return false;
        }
        done += size;
    }
    if (hasher.finish() != entry.archivedChecksum) {
        return fail(error, "the data of " + entry.path + " does not match its archived checksum");
    }
    return true;
}

bool XarArchive::verifyFileData(std::string* error) const {
    for (const XarFileEntry& entry : toc_.files) {
        if (!entry.directory &&
            !streamArchived(
                entry, [](std::span<const std::uint8_t>) { return true; }, error)) {
            return false;
        }
    }
    return true;
}

bool XarArchive::extractFile(std::string_view path, int out, std::string* error) const {
    const XarFileEntry* entry = file(path);
    if (entry == nullptr) {
        return fail(error, "the archive has no file " + std::string(path));
    }
    Hasher extracted(entry->extractedAlgorithm);
    std::uint64_t length = 0;
    auto emit = [&](std::span<const std::uint8_t> bytes) {
        length += bytes.size();
        if (length > entry->length) {
            return fail(error, entry->path + " is longer than its stated length");
        }
        extracted.update(bytes);
        files::Error writeError;
        return files::writeAll(out, bytes, entry->path, &writeError) ||
               fail(error, writeError.text);
    };

    bool ok = false;
    if (!entry->compressed) {
        ok = streamArchived(*entry, emit, error);
    } else {
        z_stream stream{};
        if (inflateInit(&stream) != Z_OK) {
            return fail(error, "cannot start zlib");
        }
        bool ended = false;
        Bytes buffer(kChunkSize);
        auto expand = [&](std::span<const std::uint8_t> bytes) {
            stream.next_in = const_cast<Bytef*>(bytes.data());
            stream.avail_in = static_cast<uInt>(bytes.size());
            while (stream.avail_in > 0) {
                if (ended) {
                    return fail(error, entry->path + " has data after its compressed stream");
                }
                stream.next_out = buffer.data();
                stream.avail_out = static_cast<uInt>(buffer.size());
                const int status = inflate(&stream, Z_NO_FLUSH);
                if (status != Z_OK && status != Z_STREAM_END) {
                    return fail(error, entry->path + " is not a valid compressed stream");
                }
                ended = status == Z_STREAM_END;
                if (!emit({buffer.data(), buffer.size() - stream.avail_out})) {
                    return false;
                }
            }
            return true;
        };
        ok = streamArchived(*entry, expand, error);
        inflateEnd(&stream);
        if (ok && !ended) {
            ok = fail(error, entry->path + " ends inside its compressed stream");
        }
    }
    if (!ok) {
        return false;
    }
    if (length != entry->length) {
        return fail(error, entry->path + " is shorter than its stated length");
    }
    if (extracted.finish() != entry->extractedChecksum) {
        return fail(error, entry->path + " does not match its extracted checksum");
    }
    return true;
}

} // namespace package

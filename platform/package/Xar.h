#pragma once

// A strict reader of xar archives: the header, the zlib-compressed XML table of contents
// (TOC), and the heap that follows it. Opening checks everything that lets the bytes a
// signature covers differ from the bytes that get installed, and refuses the archive when
// any check fails:
// - header: magic "xar!", size 28..4096, version 1, checksum SHA-256 or SHA-512 (SHA-1, MD5
//   and none are refused);
// - TOC: at most kMaximumTocSize bytes compressed and expanded, one complete zlib stream of
//   exactly the stated sizes, well-formed XML without a DTD or entities;
// - the TOC's checksum names the header's algorithm and its heap bytes are the hash of the
//   compressed TOC (so every signature over them covers the whole TOC);
// - the checksum, every signature and every file's data are ranges of the heap that do not
//   overlap and together cover it exactly: no byte of the file lies outside them;
// - at most one signature of each type, sibling files with distinct, plain names, and
//   every file's data with its archived and extracted SHA-256/SHA-512 checksums.
// Errors are texts for diagnostics; the product turns them into its own error.

#include "platform/files/Files.h"
#include "platform/package/OpenSsl.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace package {

inline constexpr std::size_t kMaximumTocSize = 16 * 1024 * 1024;
// A CMS signature with its chain and a time stamp is a few KiB.
inline constexpr std::size_t kMaximumSignatureSize = 1024 * 1024;

// The fixed part of the header; SHA-256 and SHA-512 follow it as a name.
inline constexpr std::size_t kXarHeaderFixedSize = 28;
inline constexpr std::uint32_t kXarChecksumNone = 0;
inline constexpr std::uint32_t kXarChecksumSha1 = 1;
inline constexpr std::uint32_t kXarChecksumMd5 = 2;
inline constexpr std::uint32_t kXarChecksumNamed = 3;

// Bytes at an offset from the start of the heap.
struct HeapRange {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

struct XarSignatureEntry {
    std::string type; // the element's "style": "CMS", "RSA", ...
    HeapRange range;
    // The DER certificates stored in the TOC with the signature, in order.
    std::vector<Bytes> certificates;
};

struct XarFileEntry {
    // Names joined with "/" from the top of the TOC ("Payload", "docs/README").
    std::string path;
    bool directory = false;
    // Files only:
    HeapRange range;          // the archived bytes
    std::uint64_t length = 0; // the extracted size
    bool compressed = false;  // "application/x-gzip" (zlib) or "application/octet-stream"
    DigestAlgorithm archivedAlgorithm = DigestAlgorithm::Sha256;
    Bytes archivedChecksum;
    DigestAlgorithm extractedAlgorithm = DigestAlgorithm::Sha256;
    Bytes extractedChecksum;
};

struct XarToc {
    DigestAlgorithm checksumAlgorithm = DigestAlgorithm::Sha256;
    HeapRange checksum;
    std::vector<XarSignatureEntry> signatures;
    std::vector<XarFileEntry> files;
};

// Parses and checks the TOC's XML (everything that needs no heap): used by the archive and
// directly by the fuzz target.
std::optional<XarToc> parseToc(std::span<const std::uint8_t> xml, std::string* error);

// Where the archive's bytes come from.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::uint64_t size() const = 0;
    // Exactly out.size() bytes at `offset`, or false.
    virtual bool readAt(std::uint64_t offset, std::span<std::uint8_t> out) const = 0;
};

class XarArchive {
public:
    // Opens `path` read-only (following no symbolic link at its last component).
    static std::unique_ptr<XarArchive> open(const std::string& path, std::string* error);
    // Reads an archive from memory; `bytes` must outlive it.
    static std::unique_ptr<XarArchive> openBytes(std::span<const std::uint8_t> bytes,
                                                 std::string* error);

    const XarToc& toc() const { return toc_; }
    const std::vector<XarSignatureEntry>& signatures() const { return toc_.signatures; }
    // What every signature covers: the TOC checksum stored in the heap.
    const Bytes& signedData() const { return signedData_; }
    // The bytes of signature `index`.
    std::optional<Bytes> signatureData(std::size_t index, std::string* error) const;

    const XarFileEntry* file(std::string_view path) const;
    // Hashes every file's archived bytes against its archived checksum.
    bool verifyFileData(std::string* error) const;
    // Writes the extracted bytes of the file at `path` to `out`, checking the archived
    // checksum, the length and the extracted checksum. On false what was written is not the
    // file and must be discarded.
    bool extractFile(std::string_view path, int out, std::string* error) const;

private:
    explicit XarArchive(std::unique_ptr<ByteSource> source) : source_(std::move(source)) {}
    static std::unique_ptr<XarArchive> read(std::unique_ptr<ByteSource> source, std::string* error);
    bool load(std::string* error);
    bool readHeap(HeapRange range, std::span<std::uint8_t> out) const;
    // Streams the archived bytes of `entry` through `sink`, checking the archived checksum.
    template <class Sink>
    bool streamArchived(const XarFileEntry& entry, Sink&& sink, std::string* error) const;

    std::unique_ptr<ByteSource> source_;
    std::uint64_t heapStart_ = 0;
    XarToc toc_;
    Bytes signedData_;
};

} // namespace package

#include "platform/files/Files.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace files {

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
constexpr int kTemporaryAttempts = 8;
constexpr std::size_t kRandomDigits = 16;

bool fail(Error* error, int number, std::string text) {
    if (error) {
        *error = {number, std::move(text)};
    }
    return false;
}

bool failWithErrno(Error* error, const std::string& what, const std::string& path) {
    const int number = errno;
    return fail(error, number, what + " " + path + ": " + std::strerror(number));
}

std::string baseName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::uint64_t randomNumber() {
    std::uint64_t value = 0;
    auto* bytes = reinterpret_cast<unsigned char*>(&value);
    std::size_t filled = 0;
    while (filled < sizeof value) {
        const ssize_t n = getrandom(bytes + filled, sizeof value - filled, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break; // the pid and the O_EXCL retries still keep names apart
        }
        filled += static_cast<std::size_t>(n);
    }
    return value;
}

std::string temporaryName(const std::string& path) {
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".%d.%016llx", static_cast<int>(getpid()),
                  static_cast<unsigned long long>(randomNumber()));
    return path + suffix;
}

// The writer's pid when `name` is one of replaceFile's temporaries for `base`.
std::optional<pid_t> temporaryWriter(std::string_view name, std::string_view base) {
    if (!name.starts_with(base) || name.size() < base.size() + 1 || name[base.size()] != '.') {
        return std::nullopt;
    }
    name.remove_prefix(base.size() + 1);
    const auto dot = name.find('.');
    if (dot == std::string_view::npos || name.size() - dot - 1 != kRandomDigits) {
        return std::nullopt;
    }
    const bool hex = std::all_of(name.begin() + dot + 1, name.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    });
    pid_t pid = 0;
    const auto [end, status] = std::from_chars(name.data(), name.data() + dot, pid);
    if (!hex || status != std::errc() || end != name.data() + dot || pid <= 0) {
        return std::nullopt;
    }
    return pid;
}

bool alive(pid_t pid) {
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

} // namespace

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
    if (this != &other) {
        reset(other.release());
    }
    return *this;
}

int Descriptor::release() {
    return std::exchange(fd_, -1);
}

void Descriptor::reset(int fd) {
    if (fd_ >= 0 && fd_ != fd) {
        ::close(fd_); // never retried: see close()
    }
    fd_ = fd;
}

bool Descriptor::close(Error* error) {
    if (fd_ < 0) {
        return true;
    }
    const int fd = release();
    if (::close(fd) == 0 || errno == EINTR) {
        return true;
    }
    return failWithErrno(error, "cannot close", "descriptor " + std::to_string(fd));
}

Descriptor openFileAt(int folder, const std::string& path, int flags, mode_t mode,
                      Symlinks symlinks, Error* error) {
    flags |= O_CLOEXEC;
    if (symlinks == Symlinks::DoNotFollow) {
        flags |= O_NOFOLLOW;
    }
    int fd = -1;
    do {
        fd = ::openat(folder, path.c_str(), flags, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        failWithErrno(error, "cannot open", path);
    }
    return Descriptor(fd);
}

Descriptor openFile(const std::string& path, int flags, mode_t mode, Symlinks symlinks,
                    Error* error) {
    return openFileAt(AT_FDCWD, path, flags, mode, symlinks, error);
}

std::optional<std::vector<std::uint8_t>> readAll(int fd, std::size_t maxSize,
                                                 const std::string& name, Error* error) {
    auto tooLarge = [&] {
        fail(error, EFBIG, name + " is larger than " + std::to_string(maxSize) + " bytes");
        return std::nullopt;
    };
    std::vector<std::uint8_t> bytes;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        const off_t offset = std::clamp<off_t>(::lseek(fd, 0, SEEK_CUR), 0, st.st_size);
        const auto remaining = static_cast<std::uint64_t>(st.st_size - offset);
        if (remaining > maxSize) {
            return tooLarge();
        }
        bytes.reserve(static_cast<std::size_t>(remaining) + 1);
    }
    std::uint8_t buffer[kReadChunk];
    for (;;) {
        // One byte past the limit is enough to know the file is over it.
        const std::size_t wanted = std::min(sizeof buffer, maxSize + 1 - bytes.size());
        const ssize_t n = ::read(fd, buffer, wanted);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            failWithErrno(error, "cannot read", name);
            return std::nullopt;
        }
        if (n == 0) {
            return bytes;
        }
        const std::size_t needed = bytes.size() + static_cast<std::size_t>(n);
        if (needed > bytes.capacity()) {
            // Grow geometrically, but never past what the limit can hold.
            bytes.reserve(std::min(std::max(needed, 2 * bytes.capacity()), maxSize + 1));
        }
        bytes.insert(bytes.end(), buffer, buffer + n);
        if (bytes.size() > maxSize) {
            return tooLarge();
        }
    }
}

std::optional<std::vector<std::uint8_t>> readFileAt(int folder, const std::string& path,
                                                    std::size_t maxSize, Symlinks symlinks,
                                                    Error* error) {
    const Descriptor fd = openFileAt(folder, path, O_RDONLY, 0, symlinks, error);
    if (!fd.valid()) {
        return std::nullopt;
    }
    return readAll(fd.get(), maxSize, path, error);
}

std::optional<std::vector<std::uint8_t>> readFile(const std::string& path, std::size_t maxSize,
                                                  Symlinks symlinks, Error* error) {
    return readFileAt(AT_FDCWD, path, maxSize, symlinks, error);
}

bool writeAll(int fd, std::span<const std::uint8_t> bytes, const std::string& name, Error* error) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return failWithErrno(error, "cannot write", name);
        }
        if (n == 0) {
            return fail(error, EIO, "cannot write " + name + ": no progress");
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

std::string parentOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool replaceFile(const std::string& path, std::span<const std::uint8_t> bytes,
                 const ReplaceOptions& options, Error* error) {
    auto step = [&](ReplaceStep s) {
        if (options.observer) {
            options.observer(s);
        }
    };
    std::optional<mode_t> exactMode = options.mode;
    struct stat existing {};
    if (!exactMode && ::lstat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
        exactMode = existing.st_mode & 07777;
    }
    if (!exactMode && !options.umaskForNew) {
        exactMode = options.modeIfNew;
    }
    std::string temporary;
    Descriptor fd;
    Error openError;
    // A name left behind by a crashed writer is skipped, never reused.
    for (int attempt = 0; attempt < kTemporaryAttempts && !fd.valid(); ++attempt) {
        temporary = temporaryName(path);
        fd = openFile(temporary, O_WRONLY | O_CREAT | O_EXCL, exactMode.value_or(options.modeIfNew),
                      Symlinks::DoNotFollow, &openError);
        if (!fd.valid() && openError.number != EEXIST) {
            break;
        }
    }
    if (!fd.valid()) {
        return fail(error, openError.number,
                    "cannot create " + temporary + ": " + std::strerror(openError.number));
    }
    auto abandon = [&] {
        ::unlink(temporary.c_str());
        return false;
    };
    if (exactMode && ::fchmod(fd.get(), *exactMode) != 0) { // not narrowed by the umask
        failWithErrno(error, "cannot set the mode of", temporary);
        return abandon();
    }
    step(ReplaceStep::TemporaryOpened);
    const std::size_t half = bytes.size() / 2;
    if (!writeAll(fd.get(), bytes.first(half), temporary, error)) {
        return abandon();
    }
    step(ReplaceStep::HalfWritten);
    if (!writeAll(fd.get(), bytes.subspan(half), temporary, error)) {
        return abandon();
    }
    if (::fsync(fd.get()) != 0) {
        failWithErrno(error, "cannot sync", temporary);
        return abandon();
    }
    if (!fd.close(error)) {
        return abandon();
    }
    step(ReplaceStep::Synced);
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        failWithErrno(error, "cannot replace", path);
        return abandon();
    }
    step(ReplaceStep::Renamed);
    const std::string folderPath = parentOf(path);
    const Descriptor folder =
        openFile(folderPath, O_RDONLY | O_DIRECTORY, 0, Symlinks::Follow, error);
    if (!folder.valid()) {
        return false;
    }
    // Some filesystems cannot sync a folder (EINVAL); their renames are as durable as they get.
    if (::fsync(folder.get()) != 0 && errno != EINVAL) {
        return failWithErrno(error, "cannot sync", folderPath);
    }
    return true;
}

std::size_t removeStaleTemporaries(const std::string& path, Error* error) {
    const std::string folderPath = parentOf(path);
    Descriptor folder = openFile(folderPath, O_RDONLY | O_DIRECTORY, 0, Symlinks::Follow, error);
    if (!folder.valid()) {
        return 0;
    }
    const int folderFd = folder.get();
    DIR* listing = ::fdopendir(folder.release());
    if (listing == nullptr) {
        failWithErrno(error, "cannot list", folderPath);
        ::close(folderFd);
        return 0;
    }
    const std::string base = baseName(path);
    std::size_t removed = 0;
    while (const dirent* entry = ::readdir(listing)) {
        const auto writer = temporaryWriter(entry->d_name, base);
        if (!writer || alive(*writer)) {
            continue;
        }
        if (::unlinkat(folderFd, entry->d_name, 0) == 0) {
            ++removed;
        } else if (errno != ENOENT) { // another process may have removed it first
            failWithErrno(error, "cannot remove", folderPath + "/" + entry->d_name);
        }
    }
    ::closedir(listing);
    return removed;
}

} // namespace files

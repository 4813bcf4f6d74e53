#pragma once

// Files on real Linux descriptors: an owned descriptor, bounded whole-file reads, full
// writes and atomic replacement. Every descriptor this layer opens is close-on-exec, so a
// child never inherits one. Failures never abort: they return false, an invalid descriptor
// or nullopt and fill the `Error` when one is given.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <sys/types.h>
#include <vector>

namespace files {

// What went wrong: the errno of the failing call (EFBIG for a file over the read limit) and
// a text naming the operation and the file ("cannot open /etc/x: Permission denied").
struct Error {
    int number = 0;
    std::string text;
};

// Owns one descriptor and closes it on destruction. Movable, not copyable.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release();
    // Closes the held descriptor (if any) and holds `fd` instead.
    void reset(int fd = -1);
    // Closes now and reports the outcome. EINTR counts as closed: Linux has released the
    // descriptor by then, and closing again could close another thread's new one.
    bool close(Error* error = nullptr);

private:
    int fd_ = -1;
};

enum class Symlinks { Follow, DoNotFollow };

// Opens `path` (relative paths against `folder`, a descriptor of a folder or AT_FDCWD)
// with `flags` plus O_CLOEXEC; DoNotFollow adds O_NOFOLLOW, so a symbolic link at the last
// component fails with ELOOP. Invalid on failure.
Descriptor openFile(const std::string& path, int flags, mode_t mode = 0,
                    Symlinks symlinks = Symlinks::Follow, Error* error = nullptr);
Descriptor openFileAt(int folder, const std::string& path, int flags, mode_t mode = 0,
                      Symlinks symlinks = Symlinks::Follow, Error* error = nullptr);

// Reads `fd` from its current offset to end of file into memory, at most `maxSize` bytes.
// The limit is checked before reading (a regular file whose size is already larger fails
// at once) and while reading (a file that grows meanwhile, or a device such as /dev/zero,
// fails as soon as one byte more than `maxSize` has arrived), so memory stays bounded by
// `maxSize` + one read buffer. Over the limit: nullopt with EFBIG and "<name> is larger than
// <maxSize> bytes". EINTR is retried; any other read error fails with its errno. `name`
// only labels the errors.
std::optional<std::vector<std::uint8_t>> readAll(int fd, std::size_t maxSize,
                                                 const std::string& name, Error* error = nullptr);

// Opens and reads a whole file as readAll does. A missing file fails with ENOENT; with
// DoNotFollow a symbolic link at the last component fails with ELOOP and is not read.
std::optional<std::vector<std::uint8_t>> readFile(const std::string& path, std::size_t maxSize,
                                                  Symlinks symlinks = Symlinks::Follow,
                                                  Error* error = nullptr);
std::optional<std::vector<std::uint8_t>> readFileAt(int folder, const std::string& path,
                                                    std::size_t maxSize,
                                                    Symlinks symlinks = Symlinks::Follow,
                                                    Error* error = nullptr);

// Writes every byte, looping over partial writes and EINTR. On failure some prefix of
// `bytes` may have been written; the errno is the failing write's (ENOSPC, EPIPE, ...).
bool writeAll(int fd, std::span<const std::uint8_t> bytes, const std::string& name,
              Error* error = nullptr);

// The points of a replacement at which a test may stop the writer (by killing it).
enum class ReplaceStep {
    TemporaryOpened, // the temporary exists, empty
    HalfWritten,     // half the bytes are in the temporary
    Synced,          // the temporary is complete, flushed and closed
    Renamed,         // the temporary has replaced the file; the folder is not yet synced
};

struct ReplaceOptions {
    // The mode of the result, set exactly (not narrowed by the umask).
    std::optional<mode_t> mode;
    // Without `mode`: an existing regular file keeps its mode; otherwise the new file gets
    // `modeIfNew`, exactly, or narrowed by the umask when `umaskForNew` (as tools create
    // files).
    mode_t modeIfNew = 0644;
    bool umaskForNew = false;
    // Test seam, called at each step of the replacement.
    std::function<void(ReplaceStep)> observer;
};

// Replaces `path` with `bytes` atomically: the temporary "<path>.<pid>.<16 hex digits>" in
// the same folder is created with O_CREAT|O_EXCL|O_NOFOLLOW|O_CLOEXEC (a name that exists
// is never reused), written in full, fsynced, closed and renamed over `path`, and the
// folder is fsynced. Readers and a crash at any step see either the old file (or none) or
// the complete new one, never a mix; the folder's fsync makes the rename itself durable.
// A symbolic link at `path` is replaced, never followed. Concurrent replacements of one
// path do not tear it, but the last rename wins: callers serialise read-modify-write
// themselves. On failure before the rename the temporary is removed and `path` is
// untouched; a failure to sync the folder after the rename is reported although the new
// file is in place. A writer killed before the rename leaves its temporary behind:
// removeStaleTemporaries removes those.
bool replaceFile(const std::string& path, std::span<const std::uint8_t> bytes,
                 const ReplaceOptions& options = {}, Error* error = nullptr);

// Removes the temporaries replaceFile left beside `path` whose writer is no longer
// alive (by pid: a live or a reused pid keeps its file, so this never removes a live
// writer's temporary; writers in another pid namespace are not told apart). Returns how
// many were removed; a folder that cannot be listed removes none and fills `error`.
std::size_t removeStaleTemporaries(const std::string& path, Error* error = nullptr);

// The folder part of `path` ("." for a bare name, "/" for a name at the root).
std::string parentOf(const std::string& path);

} // namespace files

#include "platform/preferences/Domain.h"

#include "platform/paths/Paths.h"
#include "platform/plist/Binary.h"
#include "platform/plist/Plist.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace prefs {

namespace {

std::string systemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

// Closes a descriptor when it goes out of scope.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) {
            if (fd_ >= 0) {
                close(fd_);
            }
            fd_ = other.release();
        }
        return *this;
    }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

std::string parentOf(const std::string& file) {
    auto slash = file.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
}

bool makeFolders(const std::string& folder, mode_t mode) {
    if (folder.empty() || folder == "/" || folder == ".") {
        return true;
    }
    struct stat st {};
    if (lstat(folder.c_str(), &st) == 0) {
        return S_ISDIR(st.st_mode);
    }
    if (!makeFolders(parentOf(folder), mode)) {
        return false;
    }
    return mkdir(folder.c_str(), mode) == 0 || errno == EEXIST;
}

bool writeAll(int fd, const std::uint8_t* bytes, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, bytes, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

enum class ReadResult { Missing, Read, Failed };

ReadResult readFile(const std::string& path, std::vector<std::uint8_t>& bytes) {
    Descriptor fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        return errno == ENOENT ? ReadResult::Missing : ReadResult::Failed;
    }
    std::uint8_t buffer[65536];
    for (;;) {
        ssize_t n = read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return ReadResult::Failed;
        }
        if (n == 0) {
            return ReadResult::Read;
        }
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
}

std::string temporaryName(const std::string& file) {
    static std::mt19937_64 random(std::random_device{}());
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    char suffix[48];
    // The pid keeps forked processes, which share the generator's state, apart.
    std::snprintf(suffix, sizeof suffix, ".%d.%016llx", static_cast<int>(getpid()),
                  static_cast<unsigned long long>(random()));
    return file + suffix;
}

} // namespace

Domain::Domain(std::string name, Scope scope)
    : Domain(name, scope == Scope::System
                       ? paths::path("/Library/Preferences/" + name + ".plist")
                       : paths::homePath("Library/Preferences/" + name + ".plist")) {}

Domain::Domain(std::string name, std::string file)
    : name_(std::move(name)), file_(std::move(file)),
      userScope_(file_.rfind(paths::homePath(""), 0) == 0 && !paths::homePath("").empty()) {}

void Domain::setWriteObserver(std::function<void(WriteStep)> observer) {
    std::lock_guard lock(mutex_);
    writeObserver_ = std::move(observer);
}

void Domain::noteProblem(std::string problem) {
    problem_ = std::move(problem);
}

std::optional<std::string> Domain::takeFileProblem() {
    std::lock_guard lock(mutex_);
    return std::exchange(problem_, std::nullopt);
}

plist::Dictionary Domain::load() {
    std::vector<std::uint8_t> bytes;
    switch (readFile(file_, bytes)) {
    case ReadResult::Missing:
        return {};
    case ReadResult::Failed: {
        // Unreadable for lack of permission is not damage: leave such a file alone.
        moveAsideBeforeWrite_ = errno != EACCES && errno != EPERM;
        noteProblem(systemError("cannot read", file_));
        return {};
    }
    case ReadResult::Read:
        break;
    }
    std::string error;
    auto value = plist::read(bytes, plist::kPreferencesSizeLimit, &error);
    if (value && value->isDictionary()) {
        moveAsideBeforeWrite_ = false;
        return *value->asDictionary();
    }
    noteProblem(file_ + " is not a property-list dictionary (" +
                (value ? std::string("top-level object is not a dictionary") : error) + ")");
    moveAsideBeforeWrite_ = true;
    return {};
}

std::optional<plist::Value> Domain::value(std::string_view key) {
    std::lock_guard lock(mutex_);
    plist::Dictionary contents = load();
    auto it = contents.find(key);
    if (it == contents.end()) {
        return std::nullopt;
    }
    return it->second;
}

plist::Dictionary Domain::dictionary() {
    std::lock_guard lock(mutex_);
    return load();
}

bool Domain::setValue(const std::string& key, plist::Value value, std::string* error) {
    return change(
        [&](plist::Dictionary& contents) { contents.insert_or_assign(key, std::move(value)); },
        error);
}

bool Domain::removeValue(const std::string& key, std::string* error) {
    return change([&](plist::Dictionary& contents) { contents.erase(key); }, error);
}

bool Domain::synchronize(std::string* error) {
    std::lock_guard lock(mutex_);
    std::vector<std::uint8_t> bytes;
    if (readFile(file_, bytes) == ReadResult::Failed) {
        if (error) {
            *error = systemError("cannot read", file_);
        }
        return false;
    }
    return true;
}

bool Domain::change(const std::function<void(plist::Dictionary&)>& edit, std::string* error) {
    std::lock_guard lock(mutex_);
    const std::string folder = parentOf(file_);
    if (!makeFolders(folder, userScope_ ? 0700 : 0755)) {
        if (error) {
            *error = systemError("cannot create", folder);
        }
        return false;
    }
    // A lock on the file itself would stay on the old inode after the rename.
    const std::string lockPath = file_ + ".lock";
    Descriptor lockFd(open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC,
                           userScope_ ? 0600 : 0644));
    if (!lockFd.valid()) {
        if (error) {
            *error = systemError("cannot open", lockPath);
        }
        return false;
    }
    while (flock(lockFd.get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            if (error) {
                *error = systemError("cannot lock", lockPath);
            }
            return false;
        }
    }
    plist::Dictionary contents = load();
    if (moveAsideBeforeWrite_) {
        // Keep what could not be read rather than destroying it.
        const std::string aside = file_ + ".corrupt";
        if (rename(file_.c_str(), aside.c_str()) == 0) {
            noteProblem(file_ + " could not be read and was moved aside to " + aside);
        }
        moveAsideBeforeWrite_ = false;
    }
    edit(contents);
    return write(contents, error);
}

bool Domain::write(const plist::Dictionary& contents, std::string* error) {
    auto fail = [&](const std::string& text) {
        if (error) {
            *error = text;
        }
        return false;
    };
    std::string encodeError;
    auto bytes = plist::writeBinary(plist::Value(contents), &encodeError);
    if (!bytes) {
        return fail("cannot encode " + file_ + ": " + encodeError);
    }
    auto step = [this](WriteStep s) {
        if (writeObserver_) {
            writeObserver_(s);
        }
    };
    mode_t mode = userScope_ ? 0600 : 0644;
    struct stat existing {};
    if (lstat(file_.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
        mode = existing.st_mode & 07777;
    }
    std::string temporary;
    Descriptor fd(-1);
    // A name left behind by a crashed writer is skipped, never reused.
    for (int attempt = 0; attempt < 8 && !fd.valid(); ++attempt) {
        temporary = temporaryName(file_);
        fd = Descriptor(
            open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (!fd.valid() && errno != EEXIST) {
            break;
        }
    }
    if (!fd.valid()) {
        return fail(systemError("cannot create", temporary));
    }
    fchmod(fd.get(), mode); // not narrowed by the umask
    step(WriteStep::TemporaryOpened);
    size_t half = bytes->size() / 2;
    bool written = writeAll(fd.get(), bytes->data(), half);
    step(WriteStep::HalfWritten);
    written = written && writeAll(fd.get(), bytes->data() + half, bytes->size() - half);
    if (!written || fsync(fd.get()) != 0) {
        std::string text = systemError("cannot write", temporary);
        unlink(temporary.c_str());
        return fail(text);
    }
    close(fd.release());
    step(WriteStep::Synced);
    if (rename(temporary.c_str(), file_.c_str()) != 0) {
        std::string text = systemError("cannot replace", file_);
        unlink(temporary.c_str());
        return fail(text);
    }
    step(WriteStep::Renamed);
    Descriptor folder(open(parentOf(file_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.valid()) {
        fsync(folder.get());
    }
    return true;
}

} // namespace prefs

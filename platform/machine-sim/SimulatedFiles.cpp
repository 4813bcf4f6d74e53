#include "platform/machine-sim/SimulatedFiles.h"

#include "platform/files/Files.h"
#include "platform/paths/Paths.h"
#include "platform/plist/Plist.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/inotify.h>

namespace machine::sim {

namespace fs = std::filesystem;

std::string folder() {
    return paths::path("/var/run/keelbrook/simulated");
}

std::string filePath(const char* name) {
    return folder() + "/" + name;
}

std::string assertionsFolder() {
    return folder() + "/assertions";
}

bool ensureFolder(const std::string& path, std::string* error) {
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec) {
        if (error) {
            *error = "cannot create " + path + ": " + ec.message();
        }
        return false;
    }
    return true;
}

std::optional<plist::Value> readDictionary(const std::string& path, std::string* error,
                                           bool* missing) {
    files::Error readError;
    const auto bytes =
        files::readFile(path, kMaxFileSize, files::Symlinks::DoNotFollow, &readError);
    if (missing) {
        *missing = !bytes && readError.number == ENOENT;
    }
    if (!bytes) {
        if (error) {
            *error = readError.number == EFBIG ? readError.text
                                               : path + ": " + std::strerror(readError.number);
        }
        return std::nullopt;
    }
    std::string reason;
    auto value = plist::read(*bytes, kMaxFileSize, &reason);
    if (!value || !value->isDictionary()) {
        if (error) {
            *error = path + ": " + (value ? "not a dictionary" : reason);
        }
        return std::nullopt;
    }
    return value;
}

bool writeFile(const std::string& path, const plist::Value& value, std::string* error) {
    std::string reason;
    const auto bytes = plist::writeBinary(value, &reason);
    if (!bytes) {
        if (error) {
            *error = path + ": " + reason;
        }
        return false;
    }
    if (!ensureFolder(fs::path(path).parent_path().string(), error)) {
        return false;
    }
    files::Error replaceError;
    if (!files::replaceFile(path, *bytes, {}, &replaceError)) {
        if (error) {
            *error = replaceError.text;
        }
        return false;
    }
    return true;
}

namespace {

class FileFeed final : public EventFeed {
public:
    FileFeed(files::Descriptor fd, int watch, std::string name)
        : fd_(std::move(fd)), watch_(watch), name_(std::move(name)) {}
    int fd() const override { return fd_.get(); }

    bool drain() override {
        alignas(inotify_event) char buffer[4096];
        bool concerned = false;
        for (;;) {
            const ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return concerned;
            }
            size_t offset = 0;
            while (offset + sizeof(inotify_event) <= static_cast<size_t>(n)) {
                inotify_event event;
                std::memcpy(&event, buffer + offset, sizeof event);
                const char* name = buffer + offset + sizeof(inotify_event);
                if ((event.mask & IN_Q_OVERFLOW) ||
                    (event.wd == watch_ && event.len > 0 &&
                     std::string_view(name, strnlen(name, event.len)) == name_)) {
                    concerned = true;
                }
                offset += sizeof(inotify_event) + event.len;
            }
        }
    }

private:
    const files::Descriptor fd_;
    const int watch_;
    const std::string name_;
};

} // namespace

EventFeedFactory fileChanges(std::string name) {
    return [name](std::string* error) -> std::unique_ptr<EventFeed> {
        const std::string path = folder();
        if (!ensureFolder(path, error)) {
            return nullptr;
        }
        files::Descriptor fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        const int watch = !fd.valid()
                              ? -1
                              : ::inotify_add_watch(fd.get(), path.c_str(),
                                                    IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE |
                                                        IN_MOVED_FROM | IN_ONLYDIR);
        if (watch < 0) {
            if (error) {
                *error = "cannot watch " + path + ": " + std::strerror(errno);
            }
            return nullptr;
        }
        return std::make_unique<FileFeed>(std::move(fd), watch, name);
    };
}

FolderLock::FolderLock() {
    std::string ignored;
    if (!ensureFolder(folder(), &ignored)) {
        return;
    }
    fd_ = files::openFile(filePath(".lock"), O_RDWR | O_CREAT, 0644, files::Symlinks::DoNotFollow);
    while (fd_.valid() && ::flock(fd_.get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            fd_.reset();
        }
    }
}

} // namespace machine::sim

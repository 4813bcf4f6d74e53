#include "platform/machine-sim/SimulatedFiles.h"

#include "platform/paths/Paths.h"
#include "platform/plist/Plist.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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
    std::ifstream in(path, std::ios::binary);
    if (missing) {
        *missing = !in;
    }
    if (!in) {
        if (error) {
            *error = path + ": " + std::strerror(errno);
        }
        return std::nullopt;
    }
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    std::string reason;
    auto value = plist::read(bytes, plist::kSettingsSizeLimit, &reason);
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
    auto fail = [&](const std::string& text) {
        if (error) {
            *error = path + ": " + text;
        }
        return false;
    };
    if (!bytes) {
        return fail(reason);
    }
    if (!ensureFolder(fs::path(path).parent_path().string(), error)) {
        return false;
    }
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        return fail(std::strerror(errno));
    }
    size_t written = 0;
    while (written < bytes->size()) {
        const ssize_t n = ::write(fd, bytes->data() + written, bytes->size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const std::string text = std::strerror(errno);
            ::close(fd);
            ::unlink(temporary.c_str());
            return fail(text);
        }
        written += static_cast<size_t>(n);
    }
    ::fchmod(fd, 0644);
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    if (!synced || ::rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string text = std::strerror(errno);
        ::unlink(temporary.c_str());
        return fail(text);
    }
    return true;
}

namespace {

class FileFeed final : public EventFeed {
public:
    FileFeed(int fd, int watch, std::string name)
        : fd_(fd), watch_(watch), name_(std::move(name)) {}
    ~FileFeed() override { ::close(fd_); }
    int fd() const override { return fd_; }

    bool drain() override {
        alignas(inotify_event) char buffer[4096];
        bool concerned = false;
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
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
    const int fd_;
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
        const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        const int watch = fd < 0 ? -1
                                 : ::inotify_add_watch(fd, path.c_str(),
                                                       IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE |
                                                           IN_MOVED_FROM | IN_ONLYDIR);
        if (watch < 0) {
            if (error) {
                *error = "cannot watch " + path + ": " + std::strerror(errno);
            }
            if (fd >= 0) {
                ::close(fd);
            }
            return nullptr;
        }
        return std::make_unique<FileFeed>(fd, watch, name);
    };
}

FolderLock::FolderLock() {
    std::string ignored;
    if (!ensureFolder(folder(), &ignored)) {
        return;
    }
    fd_ = ::open(filePath(".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ >= 0 && ::flock(fd_, LOCK_EX) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

FolderLock::~FolderLock() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

} // namespace machine::sim

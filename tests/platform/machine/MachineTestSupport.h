#pragma once

#include "platform/machine-linux/EventFeed.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

namespace machinetest {

// The installation root (KEELBROOK_ROOT) of the test process, emptied for each test. The
// runtime reads the root once per process, so every test shares one folder.
class TempRoot {
public:
    TempRoot() : path_(shared()) { clear(); }
    ~TempRoot() { clear(); }
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

    const std::filesystem::path& path() const { return path_; }

    // Writes `text` to `relative` below the root, creating its folders.
    void write(const std::string& relative, const std::string& text) const {
        const auto file = path_ / relative;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }

private:
    static std::filesystem::path shared() {
        static const std::filesystem::path root = [] {
            std::string pattern =
                (std::filesystem::temp_directory_path() / "kbmachine-XXXXXX").string();
            std::filesystem::path made = ::mkdtemp(pattern.data());
            ::setenv("KEELBROOK_ROOT", made.c_str(), 1);
            return made;
        }();
        return root;
    }
    void clear() const {
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(path_, ignored)) {
            std::filesystem::remove_all(entry.path(), ignored);
        }
    }

    const std::filesystem::path path_;
};

// The test's side of an event feed: fire() makes it readable, as a kernel event would.
class FeedControl {
public:
    FeedControl() {
        if (::pipe2(fds_, O_NONBLOCK | O_CLOEXEC) != 0) {
            fds_[0] = fds_[1] = -1;
        }
    }
    ~FeedControl() {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    void fire() const {
        const char byte = 1;
        (void)!::write(fds_[1], &byte, 1);
    }
    // Feeds reading this pipe; `refuse` makes the factory fail as a missing facility would.
    machine::EventFeedFactory factory(bool refuse = false) {
        return [this, refuse](std::string* error) -> std::unique_ptr<machine::EventFeed> {
            ++opened;
            if (refuse) {
                *error = "not on this machine";
                return nullptr;
            }
            return std::make_unique<Feed>(fds_[0]);
        };
    }
    int opened = 0;

private:
    class Feed final : public machine::EventFeed {
    public:
        explicit Feed(int fd) : fd_(fd) {}
        int fd() const override { return fd_; }
        bool drain() override {
            char buffer[64];
            bool any = false;
            while (::read(fd_, buffer, sizeof buffer) > 0) {
                any = true;
            }
            return any;
        }

    private:
        int fd_;
    };
    int fds_[2];
};

// Collects what a source hands to its handler (from the source's queue).
template <class T>
class Recorder {
public:
    std::function<void(T)> handler() {
        return [this](T value) {
            std::lock_guard guard(mutex_);
            values_.push_back(value);
        };
    }
    std::vector<T> values() {
        std::lock_guard guard(mutex_);
        return values_;
    }
    void clear() {
        std::lock_guard guard(mutex_);
        values_.clear();
    }

private:
    std::mutex mutex_;
    std::vector<T> values_;
};

} // namespace machinetest

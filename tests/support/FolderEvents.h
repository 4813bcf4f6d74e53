#pragma once

#include "tests/support/WaitLimit.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <sys/inotify.h>
#include <unistd.h>

namespace testsupport {

// Watches one folder for the inotify `events` given, so that a test waits for what another
// process writes there without sleeping. The watch is in place from construction: a check
// made after it cannot miss a change that follows.
class FolderEvents {
public:
    FolderEvents(const std::filesystem::path& folder, std::uint32_t events)
        : descriptor_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
        if (descriptor_ < 0 || ::inotify_add_watch(descriptor_, folder.c_str(), events) < 0) {
            if (descriptor_ >= 0) {
                ::close(descriptor_);
            }
            throw std::runtime_error("cannot watch " + folder.string());
        }
    }
    ~FolderEvents() { ::close(descriptor_); }
    FolderEvents(const FolderEvents&) = delete;
    FolderEvents& operator=(const FolderEvents&) = delete;

    // Readable when the folder has reported something; for an event loop's notifier.
    int descriptor() const { return descriptor_; }

    // Discards what has been reported so far.
    void drain() {
        char buffer[4096];
        while (::read(descriptor_, buffer, sizeof buffer) > 0) {
        }
    }

    // Checks `done` now and after each report, until it holds or `limit` has passed.
    template <class Check>
    bool waitUntil(Check done, std::chrono::milliseconds limit = kWaitLimit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd ready{descriptor_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&ready, 1, int(left.count())) <= 0) {
                return done();
            }
            drain();
        }
        return true;
    }

private:
    int descriptor_;
};

} // namespace testsupport

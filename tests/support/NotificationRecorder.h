#pragma once

#include "platform/bus/Bus.h"
#include "platform/notify/Notify.h"
#include "tests/support/WaitLimit.h"

#include <algorithm>
#include <condition_variable>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <systemd/sd-bus.h>
#include <vector>

namespace testsupport {

// Every notification a bus delivers, whatever its name, in arrival order. Notifications of
// one sender arrive in the order sent, so a marker posted after some work tells the test
// that whatever the work posted has arrived.
class NotificationRecorder {
public:
    explicit NotificationRecorder(const std::string& address) : connection_(bus::busAt(address)) {
        std::string error;
        subscription_ = connection_.subscribe(
            {std::string("type='signal',interface='") + notify::kInterface + "'"}, queue_,
            [this](sd_bus_message* signal) -> dispatch::Work {
                const char* name = nullptr;
                sd_bus_message_read(signal, "s", &name);
                return [this, text = std::string(name ? name : "")] {
                    // Under the lock, so that the recorder is not destroyed mid-notify.
                    std::lock_guard guard(mutex_);
                    names_.push_back(text);
                    changed_.notify_all();
                };
            },
            {}, &error);
        EXPECT_TRUE(subscription_) << error;
    }

    // Waits for `count` notifications in all.
    bool waitFor(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kWaitLimit, [&] { return names_.size() >= count; });
    }
    std::vector<std::string> names() {
        std::lock_guard guard(mutex_);
        return names_;
    }

    // Waits for `marker`, then hands out what came before it and forgets both; nothing when
    // the marker did not come in time.
    std::optional<std::vector<std::string>> takeThrough(const std::string& marker) {
        std::unique_lock lock(mutex_);
        std::vector<std::string>::iterator found;
        const bool arrived = changed_.wait_for(lock, kWaitLimit, [&] {
            found = std::find(names_.begin(), names_.end(), marker);
            return found != names_.end();
        });
        if (!arrived) {
            return std::nullopt;
        }
        std::vector<std::string> before(names_.begin(), found);
        names_.erase(names_.begin(), found + 1);
        return before;
    }

private:
    bus::Connection connection_;
    dispatch::QueuePtr queue_ = dispatch::SerialQueue::create("test.notifications");
    std::unique_ptr<bus::Subscription> subscription_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> names_;
};

} // namespace testsupport

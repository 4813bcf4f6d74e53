#pragma once

#include "tests/support/WaitLimit.h"

#include <condition_variable>
#include <functional>
#include <mutex>

namespace testsupport {

// Waits for something another thread does (a child exits, a handler runs) without
// sleeping: the other side calls notify(). Gives up after kWaitLimit so that a broken
// runtime fails the test instead of hanging it.
class Waiter {
public:
    // Notifies under the lock: a waiter that returns and destroys the waiter cannot do so
    // while notify_all still uses the condition variable.
    void notify() {
        std::lock_guard lock(mutex_);
        ++count_;
        changed_.notify_all();
    }
    bool waitFor(int count = 1) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kWaitLimit, [&] { return count_ >= count; });
    }
    int count() {
        std::lock_guard lock(mutex_);
        return count_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int count_ = 0;
};

} // namespace testsupport

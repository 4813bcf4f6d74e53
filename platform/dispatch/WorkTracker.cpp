#include "platform/dispatch/WorkTracker.h"

namespace dispatch {

void WorkTracker::end() {
    if (outstanding_.fetch_sub(1, std::memory_order_acq_rel) == 1 &&
        waiters_.load(std::memory_order_acquire) > 0) {
        std::lock_guard lock(mutex_);
        idle_.notify_all();
    }
}

void WorkTracker::waitIdle() {
    waiters_.fetch_add(1, std::memory_order_acq_rel);
    {
        std::unique_lock lock(mutex_);
        idle_.wait(lock, [this] { return outstanding_.load(std::memory_order_acquire) == 0; });
    }
    waiters_.fetch_sub(1, std::memory_order_acq_rel);
}

} // namespace dispatch

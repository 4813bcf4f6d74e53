#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace dispatch {

// Counts work items that have been submitted and not yet finished, so that the virtual
// clock can wait until the whole process is quiet before it moves time on.
class WorkTracker {
public:
    void begin() { outstanding_.fetch_add(1, std::memory_order_relaxed); }
    void end();
    void waitIdle();

private:
    std::atomic<long> outstanding_{0};
    std::atomic<int> waiters_{0};
    std::mutex mutex_;
    std::condition_variable idle_;
};

} // namespace dispatch

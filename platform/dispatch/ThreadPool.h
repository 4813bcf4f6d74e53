#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace dispatch {

class WorkTracker;

// The worker threads behind every queue. A job waits for an idle worker; when every
// worker is busy (a queue item may block, e.g. waiting for a child process) a new one is
// started, up to a limit. Idle workers sleep on a condition variable and never wake on
// their own.
class ThreadPool {
public:
    explicit ThreadPool(WorkTracker& tracker);
    void submit(std::function<void()> job);
    // Whether the calling thread is one of the pool's workers.
    static bool isWorkerThread();

private:
    void startWorker();
    void work();

    static constexpr int kMaxWorkers = 64;

    WorkTracker& tracker_;
    std::mutex mutex_;
    std::condition_variable available_;
    std::deque<std::function<void()>> jobs_;
    int workers_ = 0;
    int idle_ = 0;
};

} // namespace dispatch

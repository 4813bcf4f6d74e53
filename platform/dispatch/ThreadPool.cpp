#include "platform/dispatch/ThreadPool.h"

#include "platform/dispatch/Fatal.h"
#include "platform/dispatch/WorkTracker.h"

#include <csignal>
#include <thread>

namespace dispatch {

namespace {
thread_local bool workerThread = false;
} // namespace

ThreadPool::ThreadPool(WorkTracker& tracker) : tracker_(tracker) {}

bool ThreadPool::isWorkerThread() {
    return workerThread;
}

void ThreadPool::submit(std::function<void()> job) {
    tracker_.begin();
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
        if (static_cast<size_t>(idle_) >= jobs_.size()) {
            wake = true;
        } else if (workers_ < kMaxWorkers) {
            ++workers_;
            startWorker();
        }
    }
    if (wake) {
        available_.notify_one();
    }
}

void ThreadPool::startWorker() {
    // The new thread inherits the blocked mask, so no signal can reach it before it runs.
    sigset_t old;
    blockAsynchronousSignals(&old);
    std::thread([this] { work(); }).detach();
    restoreSignalMask(&old);
}

void ThreadPool::work() {
    workerThread = true;
    std::unique_lock lock(mutex_);
    for (;;) {
        while (jobs_.empty()) {
            ++idle_;
            available_.wait(lock);
            --idle_;
        }
        std::function<void()> job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        job();
        job = nullptr;
        tracker_.end();
        lock.lock();
    }
}

} // namespace dispatch

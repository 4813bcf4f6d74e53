#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace dispatch {

// A queue used only synchronously, as a lock around an object's state: a mutex that keeps
// its queue's label. Taking it again on the thread that holds it would wait for itself;
// that aborts with a message naming the label.
class LockQueue {
public:
    explicit LockQueue(std::string label) : label_(std::move(label)) {}
    LockQueue(const LockQueue&) = delete;
    LockQueue& operator=(const LockQueue&) = delete;

    void lock();
    void unlock();
    bool isHeldByCurrentThread() const { return owner_.load() == std::this_thread::get_id(); }
    const std::string& label() const { return label_; }

    // Runs `work` holding the lock and returns its result.
    template <class F>
    auto sync(F&& work) -> decltype(work()) {
        std::lock_guard guard(*this);
        return work();
    }

private:
    const std::string label_;
    std::mutex mutex_;
    std::atomic<std::thread::id> owner_{};
};

} // namespace dispatch

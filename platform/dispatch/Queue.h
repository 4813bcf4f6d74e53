#pragma once

#include "platform/dispatch/Time.h"

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace dispatch {

using Work = std::function<void()>;

// Somewhere to run work. Serial queues run one item at a time in submission order; the
// global queue runs items concurrently. A program with a user-interface thread supplies
// its own implementation that posts into that thread's event loop.
class Queue : public std::enable_shared_from_this<Queue> {
public:
    virtual ~Queue() = default;

    virtual void async(Work work) = 0;
    virtual const std::string& label() const = 0;
    // The queue this one's items run on, if any.
    virtual Queue* target() const { return nullptr; }
    // Whether only one item of this queue runs at a time.
    virtual bool isSerial() const = 0;

    // Runs `work` on this queue and waits for it. Waiting on a serial queue from an item
    // of that queue or of any queue it targets would wait for itself: that aborts with a
    // message instead of deadlocking.
    void sync(Work work);

    // Whether the calling thread is running an item of this queue (directly or through a
    // queue that targets it).
    bool isCurrent() const;
};

using QueuePtr = std::shared_ptr<Queue>;

// A serial queue. Without a target its items run on the thread pool; with a target, its
// items run as items of the target, serialised with everything else on it.
class SerialQueue final : public Queue {
public:
    static std::shared_ptr<SerialQueue> create(std::string label, QueuePtr target = nullptr);

    void async(Work work) override;
    const std::string& label() const override { return label_; }
    Queue* target() const override { return target_.get(); }
    bool isSerial() const override { return true; }

private:
    SerialQueue(std::string label, QueuePtr target);
    void scheduleDrain();
    void drain();

    // Items run per turn on the target before it serves others.
    static constexpr int kItemsPerTurn = 128;

    const std::string label_;
    const QueuePtr target_;
    std::mutex mutex_;
    std::deque<Work> items_;
    bool scheduled_ = false;
};

// The process's global concurrent queue, for work that needs no ordering.
QueuePtr globalQueue();

// Runs `work` on `queue` once `delay` has passed on the monotonic clock, or at `deadline`.
void after(Duration delay, const QueuePtr& queue, Work work);
void after(Deadline deadline, const QueuePtr& queue, Work work);

// Parks the calling thread for ever (the program's entry point calls it once its queues
// are set up); the queues carry on.
[[noreturn]] void parkMainThread();

namespace detail {
// Marks the calling thread as running an item of `queue` for its lifetime, so that
// hierarchy checks (sync, isCurrent) see it. Queue implementations use it around items.
class ExecutingScope {
public:
    explicit ExecutingScope(const Queue* queue);
    ~ExecutingScope();
    ExecutingScope(const ExecutingScope&) = delete;
    ExecutingScope& operator=(const ExecutingScope&) = delete;
};
} // namespace detail

} // namespace dispatch

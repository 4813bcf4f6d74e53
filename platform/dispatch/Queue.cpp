#include "platform/dispatch/Queue.h"

#include "platform/dispatch/Fatal.h"
#include "platform/dispatch/Runtime.h"
#include "platform/dispatch/TimerService.h"

#include <algorithm>
#include <semaphore>
#include <unistd.h>
#include <vector>

namespace dispatch {

namespace {

// The queues whose items the calling thread is running, outermost first.
thread_local std::vector<const Queue*> executing;

bool isExecuting(const Queue* queue) {
    return std::find(executing.begin(), executing.end(), queue) != executing.end();
}

class ConcurrentQueue final : public Queue {
public:
    void async(Work work) override {
        Runtime::shared().pool().submit([this, work = std::move(work)] {
            detail::ExecutingScope scope(this);
            work();
        });
    }
    const std::string& label() const override { return label_; }
    bool isSerial() const override { return false; }

private:
    const std::string label_ = "com.vornhal.global";
};

} // namespace

namespace detail {
ExecutingScope::ExecutingScope(const Queue* queue) {
    executing.push_back(queue);
}
ExecutingScope::~ExecutingScope() {
    executing.pop_back();
}
} // namespace detail

bool Queue::isCurrent() const {
    return isExecuting(this);
}

void Queue::sync(Work work) {
    for (const Queue* q = this; q != nullptr; q = q->target()) {
        if (q->isSerial() && isExecuting(q)) {
            fatal("sync on queue \"%s\" from inside its target hierarchy (\"%s\" is running "
                  "on this thread) would wait for itself",
                  label().c_str(), q->label().c_str());
        }
    }
    std::binary_semaphore done(0);
    async([&] {
        work();
        done.release();
    });
    done.acquire();
}

SerialQueue::SerialQueue(std::string label, QueuePtr target)
    : label_(std::move(label)), target_(std::move(target)) {}

std::shared_ptr<SerialQueue> SerialQueue::create(std::string label, QueuePtr target) {
    return std::shared_ptr<SerialQueue>(new SerialQueue(std::move(label), std::move(target)));
}

void SerialQueue::async(Work work) {
    Runtime::shared().tracker().begin();
    {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(work));
        if (scheduled_) {
            return;
        }
        scheduled_ = true;
    }
    scheduleDrain();
}

void SerialQueue::scheduleDrain() {
    auto self = std::static_pointer_cast<SerialQueue>(shared_from_this());
    if (target_) {
        target_->async([self] { self->drain(); });
    } else {
        Runtime::shared().pool().submit([self] { self->drain(); });
    }
}

void SerialQueue::drain() {
    WorkTracker& tracker = Runtime::shared().tracker();
    {
        detail::ExecutingScope scope(this);
        for (int n = 0; n < kItemsPerTurn; ++n) {
            Work work;
            {
                std::lock_guard lock(mutex_);
                if (items_.empty()) {
                    scheduled_ = false;
                    return;
                }
                work = std::move(items_.front());
                items_.pop_front();
            }
            work();
            work = nullptr; // captured state goes with the item
            tracker.end();
        }
    }
    // More items are waiting: give the target's other work a turn first.
    scheduleDrain();
}

QueuePtr globalQueue() {
    static const QueuePtr* const queue = new QueuePtr(std::make_shared<ConcurrentQueue>());
    return *queue;
}

void after(Duration delay, const QueuePtr& queue, Work work) {
    after(afterNow(delay), queue, std::move(work));
}

void after(Deadline deadline, const QueuePtr& queue, Work work) {
    auto entry = std::make_shared<TimerEntry>();
    entry->fire = [queue, work = std::move(work)]() mutable {
        queue->async(std::move(work));
    };
    Runtime::shared().timers().arm(entry, deadline, Duration::zero(), Duration::zero());
}

void parkMainThread() {
    for (;;) {
        pause();
    }
}

} // namespace dispatch

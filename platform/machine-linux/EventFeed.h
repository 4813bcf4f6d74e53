#pragma once

#include "platform/dispatch/Source.h"
#include "platform/machine/Sources.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace machine {

// A descriptor that becomes readable when a machine state may have changed (a udev monitor,
// a pressure trigger, a netlink socket), and the reading of what arrived. Tests supply their
// own to feed events without the real system.
class EventFeed {
public:
    virtual ~EventFeed() = default;
    virtual int fd() const = 0;
    // What the descriptor signals with: plain readability, or priority events that the
    // kernel consumes as it reports them (pressure triggers).
    virtual dispatch::ReadSource::Readiness readiness() const {
        return dispatch::ReadSource::Readiness::Readable;
    }
    // Consumes what is readable now without blocking; true when any of it may concern the
    // state (the state is then read again).
    virtual bool drain() = 0;
};

// Opens a feed; null with `error` filled when the system offers none.
using EventFeedFactory = std::function<std::unique_ptr<EventFeed>(std::string* error)>;

// One registration of a FeedStateSource; its handlers keep it alive while they run.
template <class State>
struct FeedRegistration {
    std::unique_ptr<EventFeed> feed;
    std::function<State()> read;
    std::function<void(State)> changed;
    dispatch::QueuePtr queue;
    std::function<void(const std::shared_ptr<FeedRegistration>&, State)> watch;
    std::unique_ptr<dispatch::ReadSource> source;
    // Disarmed at first; a watch arms it to read the state again later.
    std::unique_ptr<dispatch::TimerSource> timer;

    // Reads the state and hands it on.
    static void deliver(const std::shared_ptr<FeedRegistration>& self) {
        const State state = self->read();
        if (self->watch) {
            self->watch(self, state);
        }
        self->changed(state);
    }
};

// A state read from files, read again whenever its feed reports something. A watch, when
// given, sees the reading taken at start and every reading delivered.
template <class State>
class FeedStateSource : public StateSource<State> {
public:
    using Registration = FeedRegistration<State>;
    using Reader = std::function<State()>;
    using Watch = std::function<void(const std::shared_ptr<Registration>&, State)>;
    using typename StateSource<State>::Handler;

    FeedStateSource(EventFeedFactory feeds, Reader read, Watch watch = nullptr)
        : feeds_(std::move(feeds)), read_(std::move(read)), watch_(std::move(watch)) {}
    ~FeedStateSource() override { stop(); }

    bool start(const dispatch::QueuePtr& queue, Handler changed, std::string* error) override {
        std::lock_guard guard(mutex_);
        if (running_) {
            return true;
        }
        auto running = std::make_shared<Registration>();
        running->feed = feeds_(error);
        if (!running->feed) {
            return false;
        }
        running->read = read_;
        running->changed = std::move(changed);
        running->queue = queue;
        running->watch = watch_;
        std::weak_ptr<Registration> weak = running;
        running->source = dispatch::ReadSource::create(
            running->feed->fd(), queue,
            [weak] {
                if (auto r = weak.lock(); r && r->feed->drain()) {
                    Registration::deliver(r);
                }
            },
            running->feed->readiness());
        if (!running->source) {
            if (error) {
                *error = "cannot watch the event descriptor";
            }
            return false;
        }
        if (watch_) {
            running->timer = std::make_unique<dispatch::TimerSource>(queue, [weak] {
                if (auto r = weak.lock()) {
                    Registration::deliver(r);
                }
            });
            watch_(running, read_());
        }
        running_ = std::move(running);
        return true;
    }

    void stop() override {
        std::shared_ptr<Registration> running;
        {
            std::lock_guard guard(mutex_);
            running = std::move(running_);
        }
        if (running) {
            running->source->cancel();
            if (running->timer) {
                running->timer->cancel();
            }
        }
    }

    State current() override { return read_(); }

    // Hands a reading to the handler on the queue soon, unless the source is stopped
    // before it runs (a first reading that follows start()).
    void deliverSoon() {
        std::shared_ptr<Registration> running;
        {
            std::lock_guard guard(mutex_);
            running = running_;
        }
        if (!running) {
            return;
        }
        std::weak_ptr<Registration> weak = running;
        running->queue->async([weak] {
            if (auto r = weak.lock(); r && !r->source->isCancelled()) {
                Registration::deliver(r);
            }
        });
    }

private:
    const EventFeedFactory feeds_;
    const Reader read_;
    const Watch watch_;
    std::mutex mutex_;
    std::shared_ptr<Registration> running_;
};

} // namespace machine

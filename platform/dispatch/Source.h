#pragma once

#include "platform/dispatch/Queue.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <sys/types.h>

namespace dispatch {

struct TimerEntry;

namespace detail {

// What every source shares: its queue and handler, and the rules that a handler never
// runs twice at once and never starts once cancel() has returned.
class SourceCore : public std::enable_shared_from_this<SourceCore> {
public:
    SourceCore(QueuePtr queue, Work handler)
        : queue_(std::move(queue)), handler_(std::move(handler)) {}

    // An event arrived: run the handler once on the queue (events that arrive while it is
    // pending coalesce; one that arrives while it runs runs it once more afterwards).
    void signal();
    void cancel();
    bool isCancelled() const { return cancelled_.load(std::memory_order_acquire); }

    // Undoes the source's registration; called once, by cancel().
    std::function<void()> release;
    // Called on the queue after each handler run unless cancelled (re-enables a descriptor).
    std::function<void()> afterHandler;

private:
    void run();

    const QueuePtr queue_;
    const Work handler_;
    std::atomic<bool> cancelled_{false};
    std::mutex mutex_;
    bool pending_ = false;
    bool running_ = false;
    bool again_ = false;
};

} // namespace detail

// An event source bound to a queue. Destroying the handle cancels it. A handler already
// running when cancel() returns may still finish (it can ask isCancelled()); none starts
// afterwards.
class Source {
public:
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;
    virtual ~Source() { cancel(); }

    void cancel() { core_->cancel(); }
    bool isCancelled() const { return core_->isCancelled(); }

protected:
    Source(QueuePtr queue, Work handler)
        : core_(std::make_shared<detail::SourceCore>(std::move(queue), std::move(handler))) {}

    std::shared_ptr<detail::SourceCore> core_;
};

// A timer on the monotonic or the wall clock (the clock of its start deadline). One-shot
// with a zero interval, else repeating; it fires no earlier than its deadline and at most
// `leeway` later, so that timers close together can fire together.
class TimerSource final : public Source {
public:
    TimerSource(QueuePtr queue, Work handler);

    // Arms or re-arms the timer; Deadline::never() disarms it.
    void schedule(Deadline start, Duration interval = Duration::zero(),
                  Duration leeway = Duration::zero());
    void disarm() { schedule(Deadline::never()); }

private:
    std::shared_ptr<TimerEntry> entry_;
};

// Calls its handler on its queue whenever `fd` is readable (or has hung up). The handler
// is expected to read; the descriptor stays owned by the caller and must outlive the
// source's registration (cancel before closing it).
class ReadSource final : public Source {
public:
    // What the source waits for: readable data, room to write (a socket's send buffer; a
    // source that has nothing to write should be cancelled, it would fire continually), or
    // priority events (POLLPRI: pressure triggers, sysfs attributes). The kernel may consume
    // a priority event when it reports it, so the handler must take every run as
    // "something happened".
    enum class Readiness { Readable, Writable, Priority };

    // Null with errno set when the descriptor cannot be watched.
    static std::unique_ptr<ReadSource> create(int fd, QueuePtr queue, Work handler,
                                              Readiness readiness = Readiness::Readable);

private:
    ReadSource(QueuePtr queue, Work handler) : Source(std::move(queue), std::move(handler)) {}
};

// Delivers a signal to a handler. Creating the source blocks the signal in the calling
// thread (threads of the runtime block every asynchronous signal), so the signal is no
// longer acted on by default and reaches only the source.
class SignalSource final : public Source {
public:
    static std::unique_ptr<SignalSource> create(int signal, QueuePtr queue, Work handler);

private:
    SignalSource(QueuePtr queue, Work handler) : Source(std::move(queue), std::move(handler)) {}
};

// Reaps a child process once it exits and calls the handler once with its wait status
// (as waitpid reports it). For a process that is not the caller's child the status is -1.
class ProcessSource final : public Source {
public:
    static std::unique_ptr<ProcessSource> create(pid_t pid, QueuePtr queue,
                                                 std::function<void(int status)> handler);

private:
    ProcessSource(QueuePtr queue, Work handler) : Source(std::move(queue), std::move(handler)) {}
};

} // namespace dispatch

#pragma once

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Reactor.h"
#include "platform/dispatch/ThreadPool.h"
#include "platform/dispatch/TimerService.h"
#include "platform/dispatch/WorkTracker.h"

#include <atomic>

namespace dispatch {

class VirtualClock;

// The process's runtime: the thread pool, the reactor thread, the timers and the clock.
// Created on first use and never destroyed, so that exit() from a queue item cannot race
// static destructors.
class Runtime {
public:
    static Runtime& shared();

    WorkTracker& tracker() { return tracker_; }
    ThreadPool& pool() { return pool_; }
    Reactor& reactor() { return reactor_; }
    TimerService& timers() { return timers_; }
    const Clock& clock() const { return *clock_.load(std::memory_order_acquire); }

private:
    friend class VirtualClock;
    Runtime();
    void useClock(const Clock* clock) { clock_.store(clock, std::memory_order_release); }

    WorkTracker tracker_;
    ThreadPool pool_;
    Reactor reactor_;
    TimerService timers_;
    RealClock realClock_;
    std::atomic<const Clock*> clock_;
};

} // namespace dispatch

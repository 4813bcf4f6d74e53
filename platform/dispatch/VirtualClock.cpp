#include "platform/dispatch/VirtualClock.h"

#include "platform/dispatch/Fatal.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Runtime.h"

#include <algorithm>
#include <optional>

namespace dispatch {

VirtualClock& VirtualClock::install() {
    static VirtualClock* const clock = [] {
        Runtime& runtime = Runtime::shared();
        if (runtime.timers().anyArmed()) {
            fatal("the virtual clock must be installed before any timer is armed");
        }
        auto* c = new VirtualClock();
        runtime.timers().useVirtualClock();
        runtime.useClock(c);
        return c;
    }();
    return *clock;
}

Duration VirtualClock::now(ClockKind clock) const {
    return Duration(clock == ClockKind::Monotonic ? monotonic_.load() : wall_.load());
}

void VirtualClock::checkCaller() const {
    // A queue item waiting for the process to go quiet would wait for itself.
    if (ThreadPool::isWorkerThread()) {
        fatal("the virtual clock was moved from a queue item");
    }
}

void VirtualClock::drain() {
    checkCaller();
    Runtime& runtime = Runtime::shared();
    for (;;) {
        runtime.tracker().waitIdle();
        if (runtime.reactor().flush() == 0) {
            runtime.tracker().waitIdle();
            if (runtime.reactor().flush() == 0) {
                return;
            }
        }
    }
}

void VirtualClock::fireDueAndDrain() {
    Runtime::shared().timers().fireDue();
    drain();
}

void VirtualClock::advance(Duration d) {
    drain();
    TimerService& timers = Runtime::shared().timers();
    const Duration target = now(ClockKind::Monotonic) + std::max(d, Duration::zero());
    for (;;) {
        // Both clocks move together here, so wall deadlines map onto monotonic time.
        Duration offset = now(ClockKind::Wall) - now(ClockKind::Monotonic);
        std::optional<Duration> next = timers.nextFireTime(ClockKind::Monotonic);
        if (auto wall = timers.nextFireTime(ClockKind::Wall)) {
            Duration onMonotonic = *wall - offset;
            next = next ? std::min(*next, onMonotonic) : onMonotonic;
        }
        if (!next || *next > target) {
            break;
        }
        Duration step = std::max(*next, now(ClockKind::Monotonic));
        monotonic_.store(step.count());
        wall_.store((step + offset).count());
        fireDueAndDrain();
    }
    Duration offset = now(ClockKind::Wall) - now(ClockKind::Monotonic);
    monotonic_.store(target.count());
    wall_.store((target + offset).count());
    fireDueAndDrain();
}

void VirtualClock::suspend(Duration d) {
    drain();
    wall_.fetch_add(std::max(d, Duration::zero()).count());
    fireDueAndDrain();
}

void VirtualClock::setWall(Duration wall) {
    drain();
    wall_.store(wall.count());
    fireDueAndDrain();
}

} // namespace dispatch

#include "platform/dispatch/Clock.h"

#include "platform/dispatch/Runtime.h"

#include <ctime>

namespace dispatch {

Duration RealClock::now(ClockKind clock) const {
    timespec ts{};
    clock_gettime(clock == ClockKind::Monotonic ? CLOCK_MONOTONIC : CLOCK_REALTIME, &ts);
    return std::chrono::seconds(ts.tv_sec) + Duration(ts.tv_nsec);
}

Duration now(ClockKind clock) {
    return Runtime::shared().clock().now(clock);
}

Duration monotonicNow() {
    return now(ClockKind::Monotonic);
}

Duration wallNow() {
    return now(ClockKind::Wall);
}

Deadline afterNow(Duration delay) {
    return Deadline::monotonic(monotonicNow() + delay);
}

Deadline wallAfterNow(Duration delay) {
    return Deadline::wall(wallNow() + delay);
}

} // namespace dispatch

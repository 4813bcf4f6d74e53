#pragma once

#include <chrono>

namespace dispatch {

using Duration = std::chrono::nanoseconds;

// Monotonic time does not advance while the machine is suspended; wall time is the
// calendar clock (nanoseconds since the Unix epoch) and can jump when it is set.
enum class ClockKind { Monotonic, Wall };

// A point on one of the two clocks, or never.
struct Deadline {
    ClockKind clock = ClockKind::Monotonic;
    Duration time = Duration::max();

    static Deadline never() { return {}; }
    static Deadline monotonic(Duration t) { return {ClockKind::Monotonic, t}; }
    static Deadline wall(Duration t) { return {ClockKind::Wall, t}; }

    bool isNever() const { return time == Duration::max(); }
};

// The runtime's clock: real, or virtual in tests. Product code reads "now" only here.
Duration monotonicNow();
Duration wallNow();
Duration now(ClockKind clock);

// `delay` from now on the monotonic clock, and on the wall clock.
Deadline afterNow(Duration delay);
Deadline wallAfterNow(Duration delay);

} // namespace dispatch

#pragma once

#include "platform/dispatch/Clock.h"

#include <atomic>

namespace dispatch {

// The test clock. Time stands still until the test moves it; every timer of the process
// then fires at its virtual deadline and all the work it causes is done before the call
// returns. Call its operations from the test's own thread, never from a queue item.
class VirtualClock final : public Clock {
public:
    // Switches the runtime to the virtual clock (once per process, before any timer is
    // armed) and returns it. Starts at monotonic 1000 s and wall 2026-12-08 03:00:00 UTC.
    static VirtualClock& install();

    Duration now(ClockKind clock) const override;

    // Moves both clocks on by `d`: repeatedly steps to the next fire time no later than the
    // target, fires the timers due then in the order they were armed and runs every queue,
    // the pool and pending descriptor work dry, so that timers armed on the way fire
    // within the same call.
    void advance(Duration d);
    // The machine sleeps for `d`: the wall clock moves, the monotonic clock stands still.
    // Wall timers that came due fire at once on "resume".
    void suspend(Duration d);
    // The wall clock is set to `wall` (nanoseconds since the Unix epoch) alone.
    void setWall(Duration wall);

    // Runs every queue, the pool and ready descriptor work until nothing is left to do.
    void drain();

private:
    VirtualClock() = default;
    void fireDueAndDrain();
    void checkCaller() const;

    std::atomic<long long> monotonic_{std::chrono::nanoseconds(std::chrono::seconds(1000)).count()};
    std::atomic<long long> wall_{
        std::chrono::nanoseconds(std::chrono::seconds(1796698800)).count()};
};

} // namespace dispatch

#pragma once

#include "platform/dispatch/Time.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

namespace dispatch {

class Reactor;

// One armed or disarmed timer. `fire` is called without any runtime lock held, on the
// reactor thread (real clock) or the thread advancing the virtual clock.
struct TimerEntry {
    std::function<void()> fire;

    // Guarded by the service.
    ClockKind clock = ClockKind::Monotonic;
    Duration deadline{};
    Duration leeway{};
    Duration interval{}; // zero: one-shot
    uint64_t sequence = 0;
    bool armed = false;
};

// All timers of the process, kept per clock in deadline order. With the real clock each
// clock has one timerfd armed at the next coalesced fire time (absolute; the wall clock's
// with TFD_TIMER_CANCEL_ON_SET, so a clock change or a resume re-evaluates at once). With
// the virtual clock no descriptor is used and the clock drives `fireDue`.
class TimerService {
public:
    explicit TimerService(Reactor& reactor);

    // Arms (or re-arms) `entry` at `start`; a never deadline disarms it.
    void arm(const std::shared_ptr<TimerEntry>& entry, Deadline start, Duration interval,
             Duration leeway);
    void disarm(const std::shared_ptr<TimerEntry>& entry);

    // Fires every armed timer whose deadline has passed, in the order they were armed.
    void fireDue();

    // The next coalesced fire time on `clock`: the latest deadline that still keeps every
    // earlier timer within its leeway, so that timers close together fire together and none
    // fires early.
    std::optional<Duration> nextFireTime(ClockKind clock);

    bool anyArmed();

    // Stops using descriptors: the virtual clock drives the timers from now on.
    void useVirtualClock();

private:
    struct Earlier {
        bool operator()(const std::shared_ptr<TimerEntry>& a,
                        const std::shared_ptr<TimerEntry>& b) const;
    };
    using Timeline = std::set<std::shared_ptr<TimerEntry>, Earlier>;

    Timeline& timeline(ClockKind clock) {
        return clock == ClockKind::Monotonic ? monotonic_ : wall_;
    }
    std::optional<Duration> nextFireTimeLocked(ClockKind clock);
    void removeLocked(const std::shared_ptr<TimerEntry>& entry);
    void updateKernelTimersLocked();
    void onTimerDescriptor(int fd);

    Reactor& reactor_;
    std::mutex mutex_;
    Timeline monotonic_;
    Timeline wall_;
    uint64_t nextSequence_ = 1;
    bool virtual_ = false;
    int monotonicFd_ = -1;
    int wallFd_ = -1;
    std::optional<Duration> monotonicArmedAt_;
    std::optional<Duration> wallArmedAt_;
};

} // namespace dispatch

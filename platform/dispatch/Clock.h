#pragma once

#include "platform/dispatch/Time.h"

namespace dispatch {

// Where the runtime reads the time from.
class Clock {
public:
    virtual ~Clock() = default;
    virtual Duration now(ClockKind clock) const = 0;
};

// The kernel's CLOCK_MONOTONIC and CLOCK_REALTIME.
class RealClock final : public Clock {
public:
    Duration now(ClockKind clock) const override;
};

} // namespace dispatch

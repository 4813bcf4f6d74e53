#pragma once

#include "platform/dispatch/Time.h"
#include "platform/time/Date.h"

#include <chrono>

namespace cal {

// A point in time: seconds since 2001-01-01 00:00:00 UTC, fractions allowed
// (timebase::Date's number). The same reference date is used by property lists, the
// activity state store and the log.
using Date = double;

// Seconds between the Unix epoch (1970-01-01 UTC) and the reference date.
inline constexpr double kUnixOffset = timebase::kReferenceDateUnixTime;

// The earliest and latest dates the product uses as "none yet" and "never"
// (0001-01-01 and 4001-01-01 UTC).
inline constexpr Date kDistantPast = -63114076800.0;
inline constexpr Date kDistantFuture = 63113904000.0;

constexpr Date dateFromUnixTime(double unixSeconds) {
    return unixSeconds - kUnixOffset;
}

constexpr double unixTimeFromDate(Date date) {
    return date + kUnixOffset;
}

// Now, from the runtime's clock (virtual in tests): the one way product code gets the
// current date.
inline Date now() {
    return dateFromUnixTime(std::chrono::duration<double>(dispatch::wallNow()).count());
}

} // namespace cal

#pragma once

#include "platform/calendar/CivilDate.h"
#include "platform/calendar/Date.h"

namespace testsupport {

// The date of a UTC wall time, computed without any time-zone library.
inline cal::Date utc(long year, int month, int day, int hour = 0, int minute = 0,
                     double second = 0) {
    const long days = cal::CivilDate{year, month, day}.dayNumber();
    return cal::dateFromUnixTime(days * 86400.0 + hour * 3600.0 + minute * 60.0 + second);
}

inline constexpr double kHour = 3600.0;
inline constexpr double kDay = 86400.0;

} // namespace testsupport

#pragma once

#include "platform/calendar/Date.h"

#include <optional>
#include <string>
#include <string_view>

namespace cal {

// The boot time in the text of /proc/stat: the whole seconds of its "btime" line. None
// when there is no such line or its value is not a plain non-negative number.
std::optional<Date> bootDateFromProcStat(std::string_view text);

// The boot time of this machine, read from `procStatPath` now; none when unavailable.
std::optional<Date> readBootDate(const std::string& procStatPath = "/proc/stat");

} // namespace cal

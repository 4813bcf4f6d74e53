#pragma once

// What an older release's launchd job stands for in settings. That release kept its whole
// schedule in the job: calendar entries in "StartCalendarInterval", or a mode switch and
// options in "ProgramArguments" (element 0 the old program, element 1 the switch).

#include "platform/plist/Value.h"

#include <cstdint>
#include <optional>
#include <string_view>

namespace upgrader {

// The settings that carry the job's schedule over, in the early form the daemon upgrades when
// it loads them: "CalendarIntervals" (the calendar entries, unchanged), "Interval" (the number
// of the "--interval" option) or "WhenInactive" = true, each with "AllowBattery". Nullopt
// when the job names no schedule this release can carry over.
std::optional<plist::Dictionary> settingsForLegacyJob(const plist::Dictionary& job);

// The integer value of a program argument as the platform reads a number out of text:
// leading white space and a sign, then the longest run of digits ("12abc" is 12, "abc" 0),
// saturating at the 64-bit range. A number argument gives its own integer value; any other
// kind gives 0.
std::int64_t integerValueOfArgument(const plist::Value& argument);
std::int64_t integerValueOfText(std::string_view text);

} // namespace upgrader

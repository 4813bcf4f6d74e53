#pragma once

// What an older release's launchd job stands for in settings. That release kept its whole
// schedule in the job: calendar entries in "StartCalendarInterval", or a mode switch and
// options in "ProgramArguments" (element 0 the old program, element 1 the switch).

#include "platform/plist/Value.h"

#include <optional>

namespace upgrader {

// The settings that carry the job's schedule over, in the early form the daemon upgrades when
// it loads them: "CalendarIntervals" (the calendar entries, unchanged), "Interval" (the number
// after "--interval", read as the platform reads a number out of text) or "WhenInactive" =
// true, each with "AllowBattery". Nullopt when the job names no schedule this release can
// carry over.
std::optional<plist::Dictionary> settingsForLegacyJob(const plist::Dictionary& job);

} // namespace upgrader

#pragma once

// The one-shot run of the upgrader: carries an older release's schedule from its launchd job
// into a settings file that does not exist yet.

#include "platform/plist/Limits.h"

#include <string>

namespace upgrader {

struct Locations {
    std::string legacyJob; // the older release's job file
    std::string settings;  // the daemon's settings file; its folder is created when missing
};

// The old job is read at most this large; launchd jobs are a few hundred bytes.
inline constexpr std::size_t kMaxLegacyJobSize = plist::kSettingsSizeLimit;

// Writes the settings that the old job stands for, when the job exists and the settings file
// does not. Never fails and never reports: whatever cannot be done is left undone, and an
// existing settings file is never touched.
void upgrade(const Locations& locations);

} // namespace upgrader

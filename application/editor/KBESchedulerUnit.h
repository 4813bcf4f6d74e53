#pragma once

#include <string>

// Whether systemd reports the daemon's socket unit as switched off (disabled or masked),
// the state in which the daemon cannot be reached although it is installed. Asks the
// `systemctl` at `systemctlPath`; one that cannot be run reports nothing switched off.
bool KBESchedulerSocketDisabled(const std::string& systemctlPath = "/usr/bin/systemctl");

inline constexpr const char* kKBESchedulerSocketUnit = "com.vornhal.keelbrook.scheduler.socket";

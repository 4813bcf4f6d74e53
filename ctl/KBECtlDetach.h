#pragma once

// How `_update` and `_uninstall` leave the daemon before they act, so that the daemon's
// being stopped and replaced does not end them. Each way returns in the process that does
// the work and ends the run (KBECtl::exit) in one that only waits for it.

#include "ctl/KBECtl.h"
#include "platform/bus/Bus.h"

#include <string>
#include <string_view>
#include <vector>

// Set in the environment of the unit the work runs in: that process is already detached.
inline constexpr const char* KBECtlDetachedUnitVariable = "KEELBROOK_DETACHED_UNIT";
// The daemon's own unit: a child left in it dies when the unit stops.
inline constexpr const char* KBECtlDaemonUnit = "com.vornhal.keelbrook.scheduler.service";

enum class KBECtlDetachment {
    None,    // already in a unit of its own
    Session, // a new session (setsid), in a child when this process leads its group
    Unit,    // a transient systemd unit, waited for
};

// The way for a process with the marker variable set or not, on a machine run by systemd
// or not, in the control group that `cgroupText` (its /proc/self/cgroup) describes.
KBECtlDetachment KBECtlChooseDetachment(bool marked, bool systemd, std::string_view cgroupText);

// Leaves the process group and session.
KBECtlDetacher KBECtlDetachFromSession();

// Runs the same command (`program` and the arguments from the command word on) as the
// transient unit "keelbrook-<command>-<pid>.service" with exactly `environment` plus the
// marker, and ends the run with the unit's exit status. A unit that cannot be started
// ends the run with status 1.
KBECtlDetacher KBECtlDetachToUnit(bus::Connection& systemBus, std::string program,
                                  std::vector<std::string> environment);

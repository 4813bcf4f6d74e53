#pragma once

// Logging: every message goes to the system log and, as one line, to the program's own
// log file "<category>.log" in VRNLogGetParentPath(), rotated by size (VRNLogFile).
//
//   VRNLog(VRNLogLevelError, "Could not read '%@'.", path);
//
// Formats follow VRNFormat.h and are checked against the arguments at compile time.

#include "common/VRNFormat.h"

#include <array>
#include <atomic>
#include <span>
#include <string>
#include <sys/types.h>

// Levels of a message (the system log's message types).
enum VRNLogLevel : int {
    VRNLogLevelDefault = 0,
    VRNLogLevelInfo = 1,
    VRNLogLevelDebug = 2,
    VRNLogLevelError = 16,
};

// True once VRNLogInit chose the journal; false while the older syslog back end is used.
extern std::atomic<bool> VRNLOG_UNIFIED;

// Where the older system log files a program's lines: the daemon's under the daemon
// facility, those of programs users run under the user facility.
enum VRNLogFacility : int {
    VRNLogFacilityUser,
    VRNLogFacilityDaemon,
};

// Once per process, first thing in main: chooses the system log back end by the system
// version (the older one names every line with `subsystem` and files it under
// `facility`), creates the log folder and opens "<category>.log". Later calls do nothing.
void VRNLogInit(const char* subsystem, const char* category,
                VRNLogFacility facility = VRNLogFacilityUser);

// The log folder: "/Library/Logs/Keelbrook" (on Linux /var/log/keelbrook, through
// paths::path) when the effective or the real user is root, else "~/Library/Logs/Keelbrook"
// (the user's $XDG_STATE_HOME/keelbrook/log).
std::string VRNLogGetParentPath();
std::string VRNLogParentPathForUser(uid_t effectiveUser, uid_t realUser);

// Waits until every message handed to the syslog back end so far has been sent. Short-lived
// tools call it before they exit when VRNLOG_UNIFIED is false.
void _VRNLogSync();

namespace vrnlog {
void statement(int level, std::string_view format, std::span<const vrnformat::Arg> args);
void fileWriter(int level, std::string_view format, std::span<const vrnformat::Arg> args);
void legacyWriter(int level, std::string_view format, std::span<const vrnformat::Arg> args);

// Test seam: closes the log file and forgets VRNLogInit, so that a test program can start
// logging again (in a new installation root) as another process would.
void resetForTesting();
} // namespace vrnlog

// The logging statement: to the journal when VRNLOG_UNIFIED, otherwise to syslog unless the
// level is debug; always to the log file.
template <class... Args>
void VRNLog(int level, VRNFormatFor<Args...> format, const Args&... args) {
    const std::array<vrnformat::Arg, sizeof...(Args)> erased{vrnformat::makeArg(args)...};
    vrnlog::statement(level, format.text(), erased);
}

// The log file writer alone.
template <class... Args>
void VRNLogWithLevel2(int level, VRNFormatFor<Args...> format, const Args&... args) {
    const std::array<vrnformat::Arg, sizeof...(Args)> erased{vrnformat::makeArg(args)...};
    vrnlog::fileWriter(level, format.text(), erased);
}

// The syslog writer alone (used when VRNLOG_UNIFIED is false).
template <class... Args>
void _VRNLog(int level, VRNFormatFor<Args...> format, const Args&... args) {
    const std::array<vrnformat::Arg, sizeof...(Args)> erased{vrnformat::makeArg(args)...};
    vrnlog::legacyWriter(level, format.text(), erased);
}

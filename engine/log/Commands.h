#pragma once

#include <span>
#include <string_view>

namespace logtool {

// Exit statuses: a command line the tool does not understand, and any other failure.
inline constexpr int kExitUsage = 64;
inline constexpr int kExitFailure = 1;

// The tool under its first name: "log show ..." and "log config ...". `args` are the
// arguments after the program name; output goes to `outputFd`, messages to stderr.
int runLog(std::span<const std::string_view> args, int outputFd);

// The tool under its second name, reading the legacy back end's records:
// "syslog [-k Facility <subsystem>] [-k Time ge -<n>[s|m|h|d] | <seconds since 1970>]".
int runSyslog(std::span<const std::string_view> args, int outputFd);

} // namespace logtool

#pragma once

// The verbs of tmutil, each taking the arguments after its name and returning the exit
// status. A failure prints one line on standard error.

#include <string>
#include <string_view>
#include <vector>

namespace tmutil {

using Arguments = std::vector<std::string_view>;

int startBackup(const Arguments& args);
int stopBackup(const Arguments& args);
int listBackups(const Arguments& args);
int latestBackup(const Arguments& args);
int snapshot(const Arguments& args);
int listLocalSnapshots(const Arguments& args);
int deleteLocalSnapshots(const Arguments& args);

// "tmutil: <text>" on standard error; returns kExitFailure.
int fail(const std::string& text);
// The usage line on standard error; returns kExitUsage.
int usage();

} // namespace tmutil

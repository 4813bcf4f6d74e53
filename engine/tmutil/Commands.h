#pragma once

#include <string_view>
#include <vector>

namespace tmutil {

// Exit statuses besides 0 (done) and 1 (failed, with one line saying why).
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 64;
// An automatic backup skipped for now (on battery): not a success.
inline constexpr int kExitSkipped = 75;

// Runs one verb with its arguments (those after the program's name).
int run(const std::vector<std::string_view>& args);

} // namespace tmutil

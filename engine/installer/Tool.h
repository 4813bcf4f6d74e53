#pragma once

// Running the package tools (dpkg, dpkg-deb, dpkg-query) without a terminal: standard input
// is /dev/null, the environment is fixed (a system PATH, the non-interactive front end, the
// C locale) whatever the installer was started with, and their output comes back to the
// caller: standard error line by line, standard output captured or line by line as well.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace installer {

// Captured standard output beyond this is dropped (and the result marked truncated).
inline constexpr std::size_t kMaximumCapturedOutput = 64 * 1024;
// A longer line is handed on in pieces of this length.
inline constexpr std::size_t kMaximumLineLength = 4096;

struct ToolResult {
    int startError = 0; // the errno of a tool that could not be started
    int exitStatus = -1;
    int signal = 0; // the signal that ended it
    std::string output;
    bool truncated = false;

    bool succeeded() const { return startError == 0 && signal == 0 && exitStatus == 0; }
    // "exit status 2", "signal 9" or "cannot start: <reason>".
    std::string outcome() const;
};

enum class Output {
    Capture, // standard output into ToolResult::output
    Lines,   // standard output to the line handler, like standard error
};

using LineHandler = std::function<void(std::string_view line)>;

// Runs argv[0], an absolute path, and waits for it.
ToolResult runTool(const std::vector<std::string>& argv, Output output, const LineHandler& onLine);

} // namespace installer

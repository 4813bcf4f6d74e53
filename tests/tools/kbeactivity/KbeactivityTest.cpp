// kbeactivity end to end: a short script on the virtual clock, piped through the tool, plays
// a day-interval activity through a deferral, a run, its result and a sleep announcement.
#include "tests/common/LogTestSupport.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

struct ToolRun {
    int status = -1;
    std::vector<std::string> lines; // standard output and error
};

// Runs the tool with `args` under a fresh root, `script` on its standard input.
ToolRun runTool(const std::string& args, const std::string& script) {
    logtest::TempFolder root;
    const auto input = root.path() / "script";
    std::ofstream(input) << script;
    const std::string command = "KEELBROOK_ROOT='" + root.path().string() + "' LC_ALL=C '" +
                                KBEACTIVITY + "' " + args + " <'" + input.string() + "' 2>&1";
    ToolRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    std::string output;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        output.append(buffer, n);
    }
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.lines = logtest::linesOf(output);
    return run;
}

// The index of the first line at or after `from` that contains `text`, or -1.
long find(const std::vector<std::string>& lines, const std::string& text, long from = 0) {
    for (auto i = static_cast<std::size_t>(std::max(from, 0L)); i < lines.size(); ++i) {
        if (lines[i].find(text) != std::string::npos) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) {
        text += line + "\n";
    }
    return text;
}

TEST(KbeactivityEndToEnd, VirtualDayIntervalDefersRunsAndAsksToBeWoken) {
    const ToolRun run =
        runTool("--interval 1d --delay 12h --start-range 0.33 --leeway infinite --random 0.5 "
                "--power-nap --last-run '2026-12-03 14:00' --work-time 2m --virtual "
                "--now '2026-12-04 03:00' --echo",
                "# battery first\n"
                "info\n"
                "set power-source battery\n"
                "advance 1h\n"
                "info\n"
                "set power-source ac\n"
                "advance 10s\n"
                "info\n"
                "advance 2m\n"
                "info\n"
                "sleep\n"
                "now\n"
                "quit\n"
                "info\n");
    const auto& lines = run.lines;
    ASSERT_EQ(run.status, 0) << joined(lines);

    // The worked example: a day after 14:00 minus the 12-hour delay, a third of the way in.
    long at = find(lines, "[2026-12-04 03:00:00] [backup] Target date is 12/4/26, 3:57");
    EXPECT_GE(at, 0) << joined(lines);
    at = find(lines, "NextRun = \"2026-12-04 03:57:36 +0000\";", at);
    EXPECT_GE(at, 0) << joined(lines);
    EXPECT_GE(find(lines, "# battery first"), 0);
    at = find(lines, "[2026-12-04 03:57:36] [backup] Behavior: when inactive.", at);
    EXPECT_GE(at, 0) << joined(lines);
    at = find(lines, "[2026-12-04 03:57:41] [backup] Deferred: running on battery.", at);
    EXPECT_GE(at, 0) << joined(lines);
    at = find(lines, "DeferReason = \"running on battery\";", at);
    EXPECT_GE(at, 0) << joined(lines);
    at = find(lines, "[2026-12-04 04:00:05] [backup] Will run activity now.", at);
    EXPECT_GE(at, 0) << joined(lines);
    at = find(lines, "work: started; reports finished after 2m.", at);
    EXPECT_GE(at, 0) << joined(lines);
    at = find(lines, "Running = 1;", at);
    EXPECT_GE(at, 0) << joined(lines);
    at = find(lines, "[2026-12-04 04:02:05] [backup] Activity finished.", at);
    EXPECT_GE(at, 0) << joined(lines);
    at = find(lines, "LastRun = \"2026-12-04 04:02:05 +0000\";", at);
    EXPECT_GE(at, 0) << joined(lines);
    // Asked before sleep, the activity wants to be woken for its next target.
    at = find(lines, "Wake request: 2026-12-05 03:57:36, reason: backup.", at);
    EXPECT_GE(at, 0) << joined(lines);
    at = find(lines, "2026-12-04 04:02:10 UTC", at);
    EXPECT_GE(at, 0) << joined(lines);
    // Nothing runs after quit.
    EXPECT_EQ(lines.back(), "> quit") << joined(lines);
}

TEST(KbeactivityEndToEnd, RealClockRefusesAdvanceAndBadUseIsReported) {
    const ToolRun real = runTool("--interval 1h", "advance 5m\nfly\n");
    EXPECT_EQ(real.status, 0);
    EXPECT_GE(find(real.lines, "advance works only with --virtual"), 0) << joined(real.lines);
    EXPECT_GE(find(real.lines, "unknown command or wrong arguments: \"fly\""), 0);

    const ToolRun bad = runTool("--interval 1h --leeway sometimes", "");
    EXPECT_EQ(bad.status, 1);
    EXPECT_GE(find(bad.lines, "bad value for --leeway: \"sometimes\""), 0) << joined(bad.lines);
    EXPECT_GE(find(bad.lines, "usage: kbeactivity"), 0);
}

} // namespace

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

// Each of `expected` in `lines`, in this order; on failure the missing one and the output.
void expectInOrder(const std::vector<std::string>& lines,
                   const std::vector<std::string>& expected) {
    long at = 0;
    for (const auto& text : expected) {
        const long found = find(lines, text, at);
        ASSERT_GE(found, 0) << "missing after line " << at << ": " << text << "\n" << joined(lines);
        at = found + 1;
    }
}

TEST(KbeactivityEndToEnd, DaylightSavingGapAndATimeZoneChangeWhileRunning) {
    // 02:30 every day and 12:00 on Sundays, in Berlin, over the spring change (29 March
    // 2026, 02:00 CET becomes 03:00 CEST), then the zone changes to New York.
    const ToolRun run = runTool("--calendar 02:30,1@12:00 --timezone Europe/Berlin --levels "
                                "--work-time 5m --virtual --now '2026-03-28 12:00' --echo",
                                "now\n"
                                "info\n"
                                "advance 1d\n"
                                "now\n"
                                "timezone America/New_York\n"
                                "info\n"
                                "now\n");
    ASSERT_EQ(run.status, 0) << joined(run.lines);
    expectInOrder(run.lines,
                  {// 02:30 does not exist that night: the next existing time, 03:00 CEST.
                   "[2026-03-28 12:00:00] <info> [backup] Target date is 3/29/26, 3:00",
                   "2026-03-28 12:00:00 UTC, 2026-03-28 13:00:00 +0100 in Europe/Berlin",
                   "NextRun = \"2026-03-29 01:00:00 +0000\";",
                   "[2026-03-29 01:00:00] <info> [backup] Behavior: asap.",
                   "[2026-03-29 01:00:05] <info> [backup] Will run activity now.",
                   "[2026-03-29 01:05:05] <debug> [backup] Last run: 3/29/26, 3:05",
                   // The Sunday noon entry is the nearer one now.
                   "[2026-03-29 01:05:05] <info> [backup] Target date is 3/29/26, 12:00",
                   "[2026-03-29 10:00:00] <info> [backup] Behavior: asap.",
                   // After the change 02:30 CEST is 00:30 UTC.
                   "[2026-03-29 10:05:05] <info> [backup] Target date is 3/30/26, 2:30",
                   "2026-03-29 12:00:00 UTC, 2026-03-29 14:00:00 +0200 in Europe/Berlin",
                   "> timezone America/New_York",
                   "[2026-03-29 12:00:00] <info> [backup] System time zone did change.",
                   "[2026-03-29 12:00:00] <debug> [backup] Disable next target.",
                   // Sunday noon in New York (EDT) is still ahead.
                   "[2026-03-29 12:00:00] <info> [backup] Target date is 3/29/26, 12:00",
                   "NextRun = \"2026-03-29 16:00:00 +0000\";",
                   "2026-03-29 12:00:00 UTC, 2026-03-29 08:00:00 -0400 in America/New_York"});
    EXPECT_GE(find(run.lines, "<debug> Power State: full wake."), 0)
        << "the events manager's lines carry their level too";
}

TEST(KbeactivityEndToEnd, HistoryOptionsAndCommandsReachTheEngine) {
    // Calendar 03:00 with missed dates made up; the last run long ago, but the schedule was
    // submitted after the last 03:00, so nothing counts as missed.
    const ToolRun run =
        runTool("--calendar 03:00 --run-asap-if-missed --last-run '2026-12-01 03:00' "
                "--submitted '2026-12-03 11:00' --boot '2026-12-03 06:00' --work-time 0 --virtual "
                "--now '2026-12-03 12:00' --echo",
                "info\n"
                // An earlier submission: the 2nd and 3rd at 03:00 were missed.
                "submitted 2026-12-01 04:00\n"
                "criteria --calendar 03:00 --run-asap-if-missed\n"
                "advance 10s\n"
                "info\n"
                // A run by hand now: nothing is missed any more.
                "record finished 2026-12-03 12:30\n"
                "criteria --calendar 03:00 --run-asap-if-missed\n"
                "info\n"
                // A one-ended window is ignored, a whole one is prepared.
                "criteria --calendar 03:00 --suspend 22:00-\n"
                "criteria --calendar 03:00 --suspend 22:00-06:00\n"
                "criteria --allow-battery\n"
                "unschedule\n"
                "info\n"
                "criteria --delay 1h --failure-delay 2h\n"
                "record failed 2026-12-03 11:40\n"
                "schedule\n"
                "info\n"
                "criteria null\n"
                "schedule\n"
                "info\n");
    ASSERT_EQ(run.status, 0) << joined(run.lines);
    expectInOrder(
        run.lines,
        {"[2026-12-03 12:00:00] [backup] Target date is 12/4/26, 3:00",
         "> submitted 2026-12-01 04:00", "> criteria --calendar 03:00",
         "[2026-12-03 12:00:00] [backup] Activity overdue, will run ASAP.",
         "[2026-12-03 12:00:05] [backup] Will run activity now.",
         "[2026-12-03 12:00:05] [backup] Activity finished.",
         "LastRun = \"2026-12-03 12:00:05 +0000\";", "> record finished",
         "> criteria --calendar 03:00 --run-asap-if-missed",
         "[2026-12-03 12:00:10] [backup] Last run: 12/3/26, 12:30",
         "[2026-12-03 12:00:10] [backup] Target date is 12/4/26, 3:00",
         "LastRun = \"2026-12-03 12:30:00 +0000\";", "> criteria --calendar 03:00 --suspend 22:00-",
         "> criteria --calendar 03:00 --suspend 22:00-06:00",
         "[2026-12-03 12:00:10] [backup] Will suspend at 12/3/26, 10:00",
         "> criteria --allow-battery", "[2026-12-03 12:00:10] [backup] Bad criteria.",
         "> unschedule", "DeferReason = \"not started\";",
         // Scheduled again: the failure delay after the recorded try, 13:40.
         "> schedule", "[2026-12-03 12:00:10] [backup] Target date is 12/3/26, 1:40",
         "LastTry = \"2026-12-03 11:40:00 +0000\";", "NextRun = \"2026-12-03 13:40:00 +0000\";",
         "> criteria null", "> schedule", "DeferReason = \"not started\";"});
    const long oneEnded = find(run.lines, "> criteria --calendar 03:00 --suspend 22:00-");
    const long whole = find(run.lines, "> criteria --calendar 03:00 --suspend 22:00-06:00");
    for (long i = oneEnded; i < whole; ++i) {
        EXPECT_EQ(run.lines[i].find("suspend at"), std::string::npos) << run.lines[i];
    }
}

TEST(KbeactivityEndToEnd, ExactSpreadsAndTheBootDate) {
    // A tenth of a day after midnight is 02:24:00 exactly, not a second before.
    const ToolRun spread =
        runTool("--interval 1d --start-range 1 --random 0.1 --last-run '2026-12-03 10:00' "
                "--virtual --now '2026-12-03 12:00'",
                "info\n");
    EXPECT_GE(find(spread.lines, "NextRun = \"2026-12-04 02:24:00 +0000\";"), 0)
        << joined(spread.lines);

    // Never within five minutes of boot, unless the boot date is not known.
    const ToolRun booted = runTool(
        "--delay 1m --boot '2026-12-03 11:58' --virtual --now '2026-12-03 12:00'", "info\n");
    EXPECT_GE(find(booted.lines, "NextRun = \"2026-12-03 12:03:00 +0000\";"), 0)
        << joined(booted.lines);
    const ToolRun unknown =
        runTool("--delay 1m --boot unavailable --virtual --now '2026-12-03 12:00'", "info\n");
    EXPECT_GE(find(unknown.lines, "[backup] Activity overdue, will run asap."), 0)
        << joined(unknown.lines);
}

TEST(KbeactivityEndToEnd, DueBeforeTheWindowAndAsleepInsideItAsksForTheWindowsEnd) {
    const ToolRun run = runTool("--delay 12h --leeway infinite --power-nap --suspend 22:00-06:00 "
                                "--last-run '2026-12-03 09:05' --virtual --now '2026-12-03 21:00'",
                                "set user-activity active\n"
                                "advance 90m\n"
                                "sleep\n");
    ASSERT_EQ(run.status, 0) << joined(run.lines);
    expectInOrder(run.lines, {"[2026-12-03 21:00:00] [backup] Target date is 12/3/26, 9:05",
                              "[2026-12-03 21:05:05] [backup] Deferred: user is active.",
                              "[2026-12-03 22:00:00] [backup] Suspend activity.",
                              "[2026-12-03 22:30:00] Wake request: 2026-12-04 06:00:00, reason: "
                              "backup."});
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

// `kbesim monitor` follows the simulated machine while other `kbesim` commands drive it:
// each change appears as the system events manager's log line on the monitor's output, and
// a sleep announcement is answered with the wake request from the monitor's command line.
// Every wait is for a line to arrive, bounded.
#include "tests/support/ChildProcess.h"
#include "tests/support/ContextSwitches.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::ChildProcess;

// Reads the monitor's lines up to and including `expected`, for a bounded time; the lines
// read, or nothing when it did not come.
std::optional<std::vector<std::string>> until(ChildProcess& child, const std::string& expected) {
    const auto deadline = Clock::now() + testsupport::kWaitLimit;
    std::vector<std::string> seen;
    while (const auto line = child.line(
               std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()))) {
        seen.push_back(*line);
        if (*line == expected) {
            return seen;
        }
    }
    ADD_FAILURE() << "no line \"" << expected << "\" after: " << testing::PrintToString(seen);
    return std::nullopt;
}

// Runs kbesim to its end: exit status and everything it printed.
std::pair<int, std::string> kbesim(std::vector<std::string> args, bool withErrors = false) {
    args.insert(args.begin(), KBESIM);
    const testsupport::ChildRun run = testsupport::runChild(
        args, withErrors ? ChildProcess::Errors::WithOutput : ChildProcess::Errors::Inherit);
    return {run.exitStatus, run.output};
}

class KbesimMonitorTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "kbesim-XXXXXX").string();
        root_ = mkdtemp(pattern.data());
        setenv("KEELBROOK_ROOT", root_.c_str(), 1);
        setenv("KEELBROOK_PLATFORM", "simulated", 1);
    }
    void TearDown() override {
        monitor_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }

    std::filesystem::path root_;
    // Starts `kbesim monitor` with `args`, killed when the test ends.
    ChildProcess& startMonitor(std::vector<std::string> args) {
        args.insert(args.begin(), {KBESIM, "monitor"});
        monitor_ = std::make_unique<ChildProcess>(args);
        return *monitor_;
    }

    std::unique_ptr<ChildProcess> monitor_;
};

// "2026-12-08 04:00:00 +0000" as seconds since the Unix epoch.
std::optional<std::time_t> parseDate(const std::string& text) {
    std::tm parts{};
    if (strptime(text.c_str(), "%Y-%m-%d %H:%M:%S +0000", &parts) == nullptr) {
        return std::nullopt;
    }
    return timegm(&parts);
}

TEST_F(KbesimMonitorTest, PrintsEachChangeAndAnswersSleepWithItsWakeRequest) {
    ChildProcess& monitor = startMonitor({"3600", "nightly backup"});
    ASSERT_TRUE(monitor.started());
    const auto start = until(monitor, "Monitoring the simulated machine.");
    ASSERT_TRUE(start);
    EXPECT_EQ(*start, (std::vector<std::string>{
                          "User Activity: idle.", "Advisory: great.", "Thermal: nominal.",
                          "Power Source: AC.", "New capability bits: 1f", "Power State: full wake.",
                          "Monitoring the simulated machine."}));

    ASSERT_EQ(kbesim({"set", "power-source", "battery"}).first, 0);
    EXPECT_TRUE(until(monitor, "Power Source: battery."));
    ASSERT_EQ(kbesim({"set", "network-type", "wired"}).first, 0);
    EXPECT_TRUE(until(monitor, "Network Type: wired."));

    // Sleep preventers are read at the next change.
    const std::string pid = std::to_string(getpid());
    ASSERT_EQ(kbesim({"hold", "add", "PreventUserIdleSystemSleep", "255", "keep awake", pid,
                      "caffeinate"})
                  .first,
              0);
    ASSERT_EQ(kbesim({"set", "system-load", "bad"}).first, 0);
    const auto prevented = until(monitor, "Assertions: sleep prevented.");
    ASSERT_TRUE(prevented);
    EXPECT_EQ(*prevented, (std::vector<std::string>{"Advisory: bad.",
                                                    "Sleep prevented by caffeinate[" + pid + "].",
                                                    "Assertions: sleep prevented."}));

    const std::time_t announced = std::time(nullptr);
    const auto [status, answer] = kbesim({"sleep", "10"});
    ASSERT_EQ(status, 0) << answer;
    const std::string prefix = "Wake request: ";
    const std::string suffix = ", reason: nightly backup\n";
    ASSERT_EQ(answer.rfind(prefix, 0), 0u) << answer;
    ASSERT_GT(answer.size(), prefix.size() + suffix.size()) << answer;
    ASSERT_EQ(answer.substr(answer.size() - suffix.size()), suffix) << answer;
    const auto wakeDate =
        parseDate(answer.substr(prefix.size(), answer.size() - prefix.size() - suffix.size()));
    ASSERT_TRUE(wakeDate) << answer;
    EXPECT_GE(*wakeDate, announced + 3600 - 1);
    EXPECT_LE(*wakeDate, std::time(nullptr) + 3600 + 1);
    EXPECT_TRUE(until(monitor, "Power State: sleep."));

    ASSERT_EQ(kbesim({"wake", "dark"}).first, 0);
    const auto dark = until(monitor, "System did wake.");
    ASSERT_TRUE(dark);
    EXPECT_EQ(*dark, (std::vector<std::string>{"New capability bits: 19", "Power State: dark wake.",
                                               "System did wake."}));
}

TEST_F(KbesimMonitorTest, WithoutAWakeRequestSleepIsAnsweredWithoutOne) {
    ChildProcess& monitor = startMonitor({});
    ASSERT_TRUE(monitor.started());
    ASSERT_TRUE(until(monitor, "Monitoring the simulated machine."));
    EXPECT_EQ(kbesim({"sleep", "10"}), std::make_pair(0, std::string("No wake request.\n")));
}

TEST_F(KbesimMonitorTest, AnIdleMonitorMakesNoWakeUps) {
    if (testsupport::kRuntimeAddsWakeUps) {
        GTEST_SKIP() << "the thread sanitizer's own thread wakes the process";
    }
    // No sleep preventer present: nothing to poll, so no thread may wake on its own. This
    // waits on the real clock by design.
    ChildProcess& monitor = startMonitor({});
    ASSERT_TRUE(monitor.started());
    ASSERT_TRUE(until(monitor, "Monitoring the simulated machine."));
    std::this_thread::sleep_for(std::chrono::seconds(1)); // let every thread reach its wait
    const auto before = testsupport::voluntaryContextSwitches(monitor.pid());
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const auto after = testsupport::voluntaryContextSwitches(monitor.pid());
    ASSERT_GT(before.threads, 0);
    EXPECT_EQ(after.voluntary, before.voluntary) << "the idle monitor woke up";
}

TEST_F(KbesimMonitorTest, BadArgumentsGetTheUsageAndStatusOne) {
    for (const auto& args : std::vector<std::vector<std::string>>{{"monitor", "0", "reason"},
                                                                  {"monitor", "soon", "reason"},
                                                                  {"monitor", "60"},
                                                                  {"monitor", "60", ""}}) {
        const auto [status, output] = kbesim(args, true);
        EXPECT_EQ(status, 1) << testing::PrintToString(args);
        EXPECT_NE(output.find("kbesim monitor [WAKE-IN-SECONDS WAKE-REASON]"), std::string::npos);
    }
}

} // namespace

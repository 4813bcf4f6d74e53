// `kbesim monitor` follows the simulated machine while other `kbesim` commands drive it:
// each change appears as the system events manager's log line on the monitor's output, and
// a sleep announcement is answered with the wake request from the monitor's command line.
// Every wait is for a line to arrive, bounded.
#include "tests/support/ContextSwitches.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kLineTimeout = std::chrono::seconds(20);

// A child process with its standard output (and error, when asked) on a pipe.
struct Child {
    pid_t pid = -1;
    int output = -1;
};

Child spawn(const std::vector<std::string>& args, bool withErrors = false) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    if (withErrors) {
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    }
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::vector<char*> argv;
    for (const auto& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    Child child;
    if (posix_spawn(&child.pid, args[0].c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        child.pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    child.output = fds[0];
    return child;
}

// Reads the lines a child writes, waiting a bounded time for each.
class Lines {
public:
    explicit Lines(int fd) : fd_(fd) {}

    std::optional<std::string> next(Clock::time_point deadline) {
        for (;;) {
            if (const auto end = buffer_.find('\n'); end != std::string::npos) {
                std::string line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return line;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd wait{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&wait, 1, static_cast<int>(left.count())) <= 0) {
                return std::nullopt;
            }
            char chunk[512];
            const ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n <= 0) {
                return std::nullopt;
            }
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // Reads up to and including `expected`; the lines read, or nothing when it did not come.
    std::optional<std::vector<std::string>> until(const std::string& expected) {
        const auto deadline = Clock::now() + kLineTimeout;
        std::vector<std::string> seen;
        while (const auto line = next(deadline)) {
            seen.push_back(*line);
            if (*line == expected) {
                return seen;
            }
        }
        ADD_FAILURE() << "no line \"" << expected << "\" after: " << testing::PrintToString(seen);
        return std::nullopt;
    }

    std::string rest() {
        std::string text;
        while (const auto line = next(Clock::now() + kLineTimeout)) {
            text += *line + "\n";
        }
        return text + buffer_;
    }

private:
    const int fd_;
    std::string buffer_;
};

// Runs kbesim to its end: exit status and everything it printed.
std::pair<int, std::string> kbesim(std::vector<std::string> args, bool withErrors = false) {
    args.insert(args.begin(), KBESIM);
    Child child = spawn(args, withErrors);
    if (child.pid < 0) {
        return {-1, "cannot start kbesim"};
    }
    std::string output = Lines(child.output).rest();
    close(child.output);
    int status = 0;
    waitpid(child.pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
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
        if (monitor_.pid > 0) {
            kill(monitor_.pid, SIGKILL);
            waitpid(monitor_.pid, nullptr, 0);
            close(monitor_.output);
        }
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }

    std::filesystem::path root_;
    Child monitor_;
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
    monitor_ = spawn({KBESIM, "monitor", "3600", "nightly backup"});
    ASSERT_GT(monitor_.pid, 0);
    Lines lines(monitor_.output);
    const auto start = lines.until("Monitoring the simulated machine.");
    ASSERT_TRUE(start);
    EXPECT_EQ(*start, (std::vector<std::string>{
                          "User Activity: idle.", "Advisory: great.", "Thermal: nominal.",
                          "Power Source: AC.", "New capability bits: 1f", "Power State: full wake.",
                          "Monitoring the simulated machine."}));

    ASSERT_EQ(kbesim({"set", "power-source", "battery"}).first, 0);
    EXPECT_TRUE(lines.until("Power Source: battery."));
    ASSERT_EQ(kbesim({"set", "network-type", "wired"}).first, 0);
    EXPECT_TRUE(lines.until("Network Type: wired."));

    // Sleep preventers are read at the next change.
    const std::string pid = std::to_string(getpid());
    ASSERT_EQ(kbesim({"hold", "add", "PreventUserIdleSystemSleep", "255", "keep awake", pid,
                      "caffeinate"})
                  .first,
              0);
    ASSERT_EQ(kbesim({"set", "system-load", "bad"}).first, 0);
    const auto prevented = lines.until("Assertions: sleep prevented.");
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
    EXPECT_TRUE(lines.until("Power State: sleep."));

    ASSERT_EQ(kbesim({"wake", "dark"}).first, 0);
    const auto dark = lines.until("System did wake.");
    ASSERT_TRUE(dark);
    EXPECT_EQ(*dark, (std::vector<std::string>{"New capability bits: 19", "Power State: dark wake.",
                                               "System did wake."}));
}

TEST_F(KbesimMonitorTest, WithoutAWakeRequestSleepIsAnsweredWithoutOne) {
    monitor_ = spawn({KBESIM, "monitor"});
    ASSERT_GT(monitor_.pid, 0);
    Lines lines(monitor_.output);
    ASSERT_TRUE(lines.until("Monitoring the simulated machine."));
    EXPECT_EQ(kbesim({"sleep", "10"}), std::make_pair(0, std::string("No wake request.\n")));
}

TEST_F(KbesimMonitorTest, AnIdleMonitorMakesNoWakeUps) {
    if (testsupport::kRuntimeAddsWakeUps) {
        GTEST_SKIP() << "the thread sanitizer's own thread wakes the process";
    }
    // No sleep preventer present: nothing to poll, so no thread may wake on its own. This
    // waits on the real clock by design.
    monitor_ = spawn({KBESIM, "monitor"});
    ASSERT_GT(monitor_.pid, 0);
    Lines lines(monitor_.output);
    ASSERT_TRUE(lines.until("Monitoring the simulated machine."));
    std::this_thread::sleep_for(std::chrono::seconds(1)); // let every thread reach its wait
    const auto before = testsupport::voluntaryContextSwitches(monitor_.pid);
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const auto after = testsupport::voluntaryContextSwitches(monitor_.pid);
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

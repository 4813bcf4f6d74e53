// The helpers that keep a broken test from hanging must themselves give up in time.
#include "tests/support/ChildProcess.h"
#include "tests/support/Gate.h"
#include "tests/support/Waiter.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using Clock = std::chrono::steady_clock;

TEST(ChildProcessTest, RunsAProgramToItsEnd) {
    const auto run = testsupport::runChild({"/bin/sh", "-c", "echo out; echo err >&2; exit 3"},
                                           ChildProcess::Errors::WithOutput);
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(run.exitStatus, 3);
    EXPECT_EQ(run.output, "out\nerr\n");

    const auto discarded =
        testsupport::runChild({"/bin/sh", "-c", "echo err >&2"}, ChildProcess::Errors::Discard);
    EXPECT_EQ(discarded.exitStatus, 0);
    EXPECT_EQ(discarded.output, "");

    const auto missing = testsupport::runChild({"/nonexistent/program"});
    EXPECT_FALSE(missing.finished);
    EXPECT_EQ(missing.exitStatus, -1);
}

TEST(ChildProcessTest, ReadsLinesAndGivesUpOnASilentChild) {
    ChildProcess child({"/bin/sh", "-c", "echo one; echo two; exec sleep 60"});
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.line(), "one");
    EXPECT_EQ(child.line(), "two");
    const auto before = Clock::now();
    EXPECT_EQ(child.line(100ms), std::nullopt);
    EXPECT_LT(Clock::now() - before, 10s);
}

TEST(ChildProcessTest, AChildThatDoesNotExitInTimeIsKilled) {
    ChildProcess child({"/bin/sleep", "60"});
    ASSERT_TRUE(child.started());
    const pid_t pid = child.pid();
    const auto before = Clock::now();
    EXPECT_EQ(child.wait(100ms), std::nullopt);
    EXPECT_LT(Clock::now() - before, 10s);
    // Killed and reaped: no such child any more.
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);

    const auto run =
        testsupport::runChild({"/bin/sleep", "60"}, ChildProcess::Errors::Inherit, 100ms);
    EXPECT_FALSE(run.finished);
}

TEST(ChildProcessTest, AChildLeftRunningIsKilledWithItsObject) {
    pid_t pid = -1;
    {
        ChildProcess child({"/bin/sleep", "60"});
        pid = child.pid();
        ASSERT_GT(pid, 0);
    }
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(GateTest, HoldsAThreadUntilOpened) {
    testsupport::Gate gate;
    testsupport::Waiter passed;
    std::thread held([&] {
        gate.pass();
        passed.notify();
    });
    EXPECT_EQ(passed.count(), 0);
    gate.open();
    EXPECT_TRUE(passed.waitFor());
    held.join();
}

} // namespace

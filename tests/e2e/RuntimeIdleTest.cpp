// An idle process must sleep: with its queues idle and its only timers an hour away, none
// of its threads may wake up. This waits 5 seconds on the real clock by design.
#include "tests/support/ChildProcess.h"
#include "tests/support/ContextSwitches.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace {

TEST(RuntimeIdleTest, AnIdleProcessMakesNoVoluntaryContextSwitches) {
    if (testsupport::kRuntimeAddsWakeUps) {
        GTEST_SKIP() << "the thread sanitizer's own thread wakes the process";
    }
    testsupport::ChildProcess child({DISPATCH_CHILD, "idle"});
    ASSERT_TRUE(child.started());
    ASSERT_EQ(child.line(), "ready");

    // Let every thread reach its blocking wait after printing "ready" before counting.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    auto before = testsupport::voluntaryContextSwitches(child.pid());
    std::this_thread::sleep_for(std::chrono::seconds(5));
    auto after = testsupport::voluntaryContextSwitches(child.pid());

    EXPECT_GE(before.threads, 3) << "main thread, reactor and at least one worker";
    EXPECT_EQ(after.threads, before.threads);
    EXPECT_EQ(after.voluntary, before.voluntary) << "threads woke up while the process was idle";
}

} // namespace

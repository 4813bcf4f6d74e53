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

    // Let every thread reach its blocking wait after printing "ready" before counting: on a
    // loaded machine a thread may still be starting (faulting its stack in, waiting for a
    // lock) for a while. Nothing announces that every thread is asleep, so the count is read
    // until it has stood still for half a second (20 s at most).
    auto before = testsupport::voluntaryContextSwitches(child.pid());
    for (int tries = 0; tries < 40; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const auto now = testsupport::voluntaryContextSwitches(child.pid());
        const bool settled = now.voluntary == before.voluntary && now.threads == before.threads;
        before = now;
        if (settled) {
            break;
        }
    }
    std::this_thread::sleep_for(std::chrono::seconds(5));
    auto after = testsupport::voluntaryContextSwitches(child.pid());

    EXPECT_GE(before.threads, 3) << "main thread, reactor and at least one worker";
    EXPECT_EQ(after.threads, before.threads);
    EXPECT_EQ(after.voluntary, before.voluntary) << "threads woke up while the process was idle";
}

} // namespace

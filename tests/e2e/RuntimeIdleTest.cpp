// An idle process must sleep: with its queues idle and its only timers an hour away, none
// of its threads may wake up. This waits 5 seconds on the real clock by design.
#include "tests/support/ContextSwitches.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

TEST(RuntimeIdleTest, AnIdleProcessMakesNoVoluntaryContextSwitches) {
    if (testsupport::kRuntimeAddsWakeUps) {
        GTEST_SKIP() << "the thread sanitizer's own thread wakes the process";
    }
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    const char* argv[] = {DISPATCH_CHILD, "idle", nullptr};
    pid_t pid = -1;
    ASSERT_EQ(
        posix_spawn(&pid, DISPATCH_CHILD, &actions, nullptr, const_cast<char**>(argv), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    char ready[6] = {};
    ASSERT_EQ(read(fds[0], ready, 6), 6);
    ASSERT_EQ(std::string(ready, 6), "ready\n");

    // Let every thread reach its blocking wait after printing "ready" before counting.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    auto before = testsupport::voluntaryContextSwitches(pid);
    std::this_thread::sleep_for(std::chrono::seconds(5));
    auto after = testsupport::voluntaryContextSwitches(pid);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    close(fds[0]);

    EXPECT_GE(before.threads, 3) << "main thread, reactor and at least one worker";
    EXPECT_EQ(after.threads, before.threads);
    EXPECT_EQ(after.voluntary, before.voluntary) << "threads woke up while the process was idle";
}

} // namespace

// Runs the runtime in a child process on the real clock and checks what only a whole
// process shows: exiting from a queue item, and the kernel timer back end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

struct Outcome {
    int status = -1;
    std::string output; // standard output and standard error together
};

Outcome runChild(const char* mode) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    const char* argv[] = {DISPATCH_CHILD, mode, nullptr};
    pid_t pid = -1;
    int rc =
        posix_spawn(&pid, DISPATCH_CHILD, &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    Outcome outcome;
    if (rc != 0) {
        close(fds[0]);
        return outcome;
    }
    char buffer[4096];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0) {
        outcome.output.append(buffer, static_cast<size_t>(n));
    }
    close(fds[0]);
    waitpid(pid, &outcome.status, 0);
    return outcome;
}

TEST(RuntimeProcessTest, ExitFromAQueueItemWhileQueuesAndTimersAreBusy) {
    // Under the sanitizers a race with static destructors would be reported on stderr.
    for (int i = 0; i < 5; ++i) {
        Outcome outcome = runChild("exit");
        ASSERT_TRUE(WIFEXITED(outcome.status)) << outcome.output;
        EXPECT_EQ(WEXITSTATUS(outcome.status), 0) << outcome.output;
        EXPECT_EQ(outcome.output, "");
    }
}

TEST(RuntimeProcessTest, KernelTimersFireOnTimeAndNeverEarly) {
    Outcome outcome = runChild("timers");
    ASSERT_TRUE(WIFEXITED(outcome.status)) << outcome.output;
    EXPECT_EQ(WEXITSTATUS(outcome.status), 0) << outcome.output;
    EXPECT_EQ(outcome.output, "fired 2, repeats 5, early 0\n");
}

} // namespace

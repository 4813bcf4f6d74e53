// An idle process must sleep: with its queues idle and its only timers an hour away, none
// of its threads may wake up. This waits 5 seconds on the real clock by design.
#include <chrono>
#include <csignal>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

// Voluntary context switches summed over every thread of `pid`, and the thread count.
std::pair<long, int> voluntarySwitches(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    long total = 0;
    int threads = 0;
    DIR* tasks = opendir(dir.c_str());
    if (tasks == nullptr) {
        return {-1, 0};
    }
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::ifstream status(dir + "/" + entry->d_name + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
                total += std::stol(line.substr(line.find(':') + 1));
                ++threads;
            }
        }
    }
    closedir(tasks);
    return {total, threads};
}

TEST(RuntimeIdleTest, AnIdleProcessMakesNoVoluntaryContextSwitches) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
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
    auto [before, threadsBefore] = voluntarySwitches(pid);
    std::this_thread::sleep_for(std::chrono::seconds(5));
    auto [after, threadsAfter] = voluntarySwitches(pid);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    close(fds[0]);

    EXPECT_GE(threadsBefore, 3) << "main thread, reactor and at least one worker";
    EXPECT_EQ(threadsAfter, threadsBefore);
    EXPECT_EQ(after, before) << "threads woke up while the process was idle";
}

} // namespace

#include "LogTestSupport.h"
#include "common/VRNQueue.h"
#include "common/VRNSpawn.h"
#include "tests/support/Waiter.h"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <pthread.h>
#include <unistd.h>

namespace {

struct Outcome {
    std::optional<VRNError> error;
    bool onQueue = false;
    int calls = 0;
};

// Runs the tool asynchronously and waits for its handler, which must run once on the queue.
// The handler owns what it touches: after a wait that timed out it may still run.
Outcome runAsync(const char* const argv[]) {
    auto queue = VRNQueueContextCreate("com.vornhal.test.spawn");
    auto done = std::make_shared<testsupport::Waiter>();
    auto outcome = std::make_shared<Outcome>();
    spawn_tool_async(argv, queue, [queue, done, outcome](std::optional<VRNError> error) {
        outcome->error = std::move(error);
        outcome->onQueue = queue->isCurrent();
        ++outcome->calls;
        done->notify();
    });
    EXPECT_TRUE(done->waitFor());
    queue->sync([] {}); // a second call would have been queued by now
    return *outcome;
}

TEST(SpawnTest, SuccessReportsNoError) {
    const char* argv[] = {"/bin/sh", "-c", "exit 0", nullptr};
    VRNError error("unset", 0);
    EXPECT_TRUE(spawn_tool(argv, &error));
    EXPECT_EQ(error.domain(), "unset");
    const Outcome outcome = runAsync(argv);
    EXPECT_FALSE(outcome.error);
    EXPECT_TRUE(outcome.onQueue);
    EXPECT_EQ(outcome.calls, 1);
}

TEST(SpawnTest, MissingProgramIsCodeZeroWithErrno) {
    const char* argv[] = {"/nonexistent/tool", "arg", nullptr};
    VRNError error("unset", 0);
    EXPECT_FALSE(spawn_tool(argv, &error));
    EXPECT_EQ(error.domain(), VRNSpawnerErrorDomain);
    EXPECT_EQ(error.code(), VRNSpawnerErrorSpawnFailed);
    EXPECT_EQ(error.userInfo().at("errno"), plist::Value(ENOENT));
    EXPECT_EQ(error.userInfo().at("tool"), plist::Value("/nonexistent/tool"));
    EXPECT_EQ(VRNError::localizedDescriptionForError(error),
              "Could not spawn '/nonexistent/tool'. No such file or directory (2).");
    EXPECT_FALSE(spawn_tool(argv, nullptr));

    // Asynchronously the failure arrives through the handler on the queue, not by the call.
    const Outcome outcome = runAsync(argv);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->code(), VRNSpawnerErrorSpawnFailed);
    EXPECT_EQ(outcome.error->userInfo().at("errno"), plist::Value(ENOENT));
    EXPECT_TRUE(outcome.onQueue);
    EXPECT_EQ(outcome.calls, 1);
}

TEST(SpawnTest, NonZeroExitIsCodeOneWithTheStatus) {
    const char* argv[] = {"/bin/false", nullptr};
    VRNError error("unset", 0);
    EXPECT_FALSE(spawn_tool(argv, &error));
    EXPECT_EQ(error.code(), VRNSpawnerErrorExitStatus);
    EXPECT_EQ(VRNError::localizedDescriptionForError(error), "/bin/false exited with status 1.");

    const char* status42[] = {"/bin/sh", "-c", "exit 42", nullptr};
    const Outcome outcome = runAsync(status42);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->code(), VRNSpawnerErrorExitStatus);
    EXPECT_EQ(outcome.error->userInfo().at("exit-status"), plist::Value(42));
}

TEST(SpawnTest, SignalIsCodeTwoWithTheSignalNumber) {
    const char* argv[] = {"/bin/sh", "-c", "kill -KILL $$", nullptr};
    VRNError error("unset", 0);
    EXPECT_FALSE(spawn_tool(argv, &error));
    EXPECT_EQ(error.code(), VRNSpawnerErrorSignal);
    EXPECT_EQ(error.userInfo().at("signal"), plist::Value(SIGKILL));
    EXPECT_EQ(VRNError::localizedDescriptionForError(error), "/bin/sh received signal 9 (Killed).");

    const Outcome outcome = runAsync(argv);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->code(), VRNSpawnerErrorSignal);
    EXPECT_EQ(outcome.error->userInfo().at("signal"), plist::Value(SIGKILL));
}

// With SIGCHLD ignored the kernel reaps children itself and the wait fails: how the tool
// ended is unknown, which is a failure (code 0 with the wait's errno), never success.
TEST(SpawnTest, FailedWaitIsAFailureNotSuccess) {
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ASSERT_EQ(sigaction(SIGCHLD, &ignore, &previous), 0);
    const char* argv[] = {"/bin/sh", "-c", "exit 0", nullptr};
    VRNError error("unset", 0);
    const bool succeeded = spawn_tool(argv, &error);
    const Outcome outcome = runAsync(argv);
    sigaction(SIGCHLD, &previous, nullptr);

    EXPECT_FALSE(succeeded);
    EXPECT_EQ(error.domain(), VRNSpawnerErrorDomain);
    EXPECT_EQ(error.code(), 0);
    EXPECT_EQ(error.userInfo().at("errno"), plist::Value(ECHILD));
    EXPECT_EQ(error.userInfo().at("tool"), plist::Value("/bin/sh"));
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->code(), 0);
    EXPECT_EQ(outcome.error->userInfo().at("errno"), plist::Value(ECHILD));
    EXPECT_EQ(outcome.calls, 1);
}

// The caller's blocked and ignored signals are not passed on: a tool can be stopped.
TEST(SpawnTest, ChildStartsWithCleanSignalMaskAndDefaultDispositions) {
    sigset_t term, previous;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, &previous);
    struct sigaction ignore {
    }, saved{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, &saved);

    const char* terminate[] = {"/bin/sh", "-c", "kill -TERM $$; exit 0", nullptr};
    const char* interrupt[] = {"/bin/sh", "-c", "kill -INT $$; exit 0", nullptr};
    VRNError termError("unset", 0), intError("unset", 0);
    const bool termResult = spawn_tool(terminate, &termError);
    const bool intResult = spawn_tool(interrupt, &intError);

    sigaction(SIGINT, &saved, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    EXPECT_FALSE(termResult);
    EXPECT_EQ(termError.userInfo().at("signal"), plist::Value(SIGTERM));
    EXPECT_FALSE(intResult);
    EXPECT_EQ(intError.userInfo().at("signal"), plist::Value(SIGINT));
}

TEST(SpawnTest, ChildWritesToTheCallersOutputAndError) {
    logtest::TempFolder folder;
    const auto path = folder.path() / "output";
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(file, 0);
    fflush(stdout);
    fflush(stderr);
    const int savedOut = fcntl(1, F_DUPFD_CLOEXEC, 3), savedErr = fcntl(2, F_DUPFD_CLOEXEC, 3);
    dup2(file, 1);
    dup2(file, 2);
    const char* argv[] = {"/bin/sh", "-c", "echo to-out; echo to-err >&2", nullptr};
    const bool result = spawn_tool(argv, nullptr);
    dup2(savedOut, 1);
    dup2(savedErr, 2);
    close(savedOut);
    close(savedErr);
    close(file);
    EXPECT_TRUE(result);
    EXPECT_EQ(logtest::readFile(path), "to-out\nto-err\n");
}

// The output goes only to the given descriptor; the caller's copy of the write end is the
// one to close, and the child's exit status still arrives through wait_for_tool.
TEST(SpawnTest, OutputOnAPipeAndTheStatusAfterwards) {
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    const char* argv[] = {"/bin/sh", "-c", "echo captured; exit 3", nullptr};
    VRNError error("unset", 0);
    const pid_t pid = spawn_tool_with_output(argv, ends[1], &error);
    close(ends[1]);
    ASSERT_GT(pid, 0);
    std::string output;
    char buffer[64];
    for (ssize_t count; (count = read(ends[0], buffer, sizeof buffer)) > 0;) {
        output.append(buffer, static_cast<std::size_t>(count));
    }
    close(ends[0]);
    EXPECT_EQ(output, "captured\n");
    EXPECT_FALSE(wait_for_tool(pid, argv, &error));
    EXPECT_EQ(error.code(), VRNSpawnerErrorExitStatus);
    EXPECT_EQ(error.userInfo().at("exit-status"), plist::Value(3));

    const char* missing[] = {"/nonexistent/tool", nullptr};
    EXPECT_EQ(spawn_tool_with_output(missing, STDOUT_FILENO, &error), -1);
    EXPECT_EQ(error.code(), VRNSpawnerErrorSpawnFailed);
}

TEST(SpawnTest, SeveralChildrenOutstandingEachReportOnce) {
    auto queue = VRNQueueContextCreate("com.vornhal.test.spawn-many");
    struct Calls {
        testsupport::Waiter done;
        std::mutex lock;
        std::map<std::int64_t, int> byStatus; // exit status -> handler calls
    };
    auto calls = std::make_shared<Calls>(); // the handlers' own, should the wait time out
    const std::vector<std::string> scripts = {"exit 0", "exit 3", "exit 4", "exit 5", "exit 6"};
    for (const std::string& script : scripts) {
        const char* argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
        spawn_tool_async(argv, queue, [calls](std::optional<VRNError> error) {
            const std::int64_t status =
                error ? error->userInfo().at("exit-status").asInteger().value_or(-1) : 0;
            {
                std::lock_guard guard(calls->lock);
                ++calls->byStatus[status];
            }
            calls->done.notify();
        });
    }
    ASSERT_TRUE(calls->done.waitFor(static_cast<int>(scripts.size())));
    queue->sync([] {});
    std::lock_guard guard(calls->lock);
    EXPECT_EQ(calls->byStatus,
              (std::map<std::int64_t, int>{{0, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}}));
}

} // namespace

#include "platform/dispatch/Source.h"

#include "platform/dispatch/Queue.h"
#include "platform/dispatch/VirtualClock.h"
#include "tests/support/Waiter.h"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

using dispatch::SerialQueue;

dispatch::VirtualClock& clock() {
    return dispatch::VirtualClock::install();
}

TEST(ReadSourceTest, RunsWhileDataIsUnreadAndOnlyThen) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    auto queue = SerialQueue::create("com.vornhal.test.read");
    std::atomic<int> runs{0};
    std::string received;
    auto source = dispatch::ReadSource::create(fds[0], queue, [&] {
        ++runs;
        char buffer[64];
        ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n > 0) {
            received.append(buffer, static_cast<size_t>(n));
        }
    });
    ASSERT_NE(source, nullptr);
    clock().drain();
    EXPECT_EQ(runs, 0);
    ASSERT_EQ(write(fds[1], "abc", 3), 3);
    clock().drain();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(received, "abc");
    clock().drain();
    EXPECT_EQ(runs, 1) << "ran again without new data";
    ASSERT_EQ(write(fds[1], "d", 1), 1);
    clock().drain();
    EXPECT_EQ(received, "abcd");

    source->cancel();
    ASSERT_EQ(write(fds[1], "e", 1), 1);
    clock().drain();
    EXPECT_EQ(received, "abcd");
    close(fds[0]);
    close(fds[1]);

    EXPECT_EQ(dispatch::ReadSource::create(-1, queue, [] {}), nullptr);
}

TEST(SignalSourceTest, DeliversABlockedSignalToItsHandler) {
    // The daemon's start-up: SIGTERM is taken over by a source instead of ending the process.
    auto queue = SerialQueue::create("com.vornhal.test.signal");
    testsupport::Waiter handled;
    auto source = dispatch::SignalSource::create(SIGTERM, queue, [&] { handled.notify(); });
    ASSERT_NE(source, nullptr);
    ASSERT_EQ(kill(getpid(), SIGTERM), 0);
    clock().drain();
    EXPECT_EQ(handled.count(), 1);
}

TEST(SignalSourceTest, HandlerNeverOverlapsItselfEvenOnTheConcurrentQueue) {
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::atomic<int> runs{0};
    auto source = dispatch::SignalSource::create(SIGUSR2, dispatch::globalQueue(), [&] {
        if (inside.fetch_add(1) != 0) {
            overlapped = true;
        }
        ++runs;
        // Stay inside long enough for more signals to arrive meanwhile.
        std::atomic<long> spin{0};
        while (spin.fetch_add(1, std::memory_order_relaxed) < 100000) {
        }
        inside.fetch_sub(1);
    });
    ASSERT_NE(source, nullptr);
    std::thread sender([] {
        for (int i = 0; i < 300; ++i) {
            kill(getpid(), SIGUSR2);
        }
    });
    sender.join();
    clock().drain();
    EXPECT_FALSE(overlapped);
    EXPECT_GE(runs.load(), 1);

    source->cancel();
    int settled = runs.load();
    kill(getpid(), SIGUSR2);
    clock().drain();
    EXPECT_EQ(runs.load(), settled);
}

pid_t spawnShell(const char* script) {
    pid_t pid = -1;
    const char* argv[] = {"/bin/sh", "-c", script, nullptr};
    posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ);
    return pid;
}

TEST(ProcessSourceTest, ReportsExitStatusAndSignalOnceAfterReaping) {
    auto queue = SerialQueue::create("com.vornhal.test.process");
    struct Case {
        const char* script;
        bool exited;
        int value;
    };
    for (Case c : {Case{"exit 3", true, 3}, Case{"exit 0", true, 0},
                   Case{"kill -KILL $$", false, SIGKILL}}) {
        pid_t pid = spawnShell(c.script);
        ASSERT_GT(pid, 0);
        testsupport::Waiter done;
        std::atomic<int> status{-1};
        auto source = dispatch::ProcessSource::create(pid, queue, [&](int s) {
            status = s;
            done.notify();
        });
        ASSERT_NE(source, nullptr);
        ASSERT_TRUE(done.waitFor()) << c.script;
        clock().drain();
        EXPECT_EQ(done.count(), 1) << c.script;
        if (c.exited) {
            ASSERT_TRUE(WIFEXITED(status.load())) << c.script;
            EXPECT_EQ(WEXITSTATUS(status.load()), c.value);
        } else {
            ASSERT_TRUE(WIFSIGNALED(status.load())) << c.script;
            EXPECT_EQ(WTERMSIG(status.load()), c.value);
        }
        // Reaped by the source: nothing is left to wait for.
        EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
    }
}

TEST(ProcessSourceTest, AProcessThatIsGoneCannotBeWatched) {
    pid_t pid = spawnShell("exit 0");
    ASSERT_GT(pid, 0);
    ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
    EXPECT_EQ(dispatch::ProcessSource::create(pid, dispatch::globalQueue(), [](int) {}), nullptr);
}

} // namespace

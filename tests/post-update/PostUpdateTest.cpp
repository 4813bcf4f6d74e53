#include "platform/dispatch/Queue.h"
#include "post-update/KBEPostUpdateManager.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/TempFolder.h"
#include "tests/support/WaitLimit.h"
#include "tests/support/Waiter.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <sstream>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// An application stand-in that records its pid and session, one line per start.
std::string writeApplication(const std::filesystem::path& folder) {
    const auto program = folder / "keelbrook";
    std::ofstream(program) << "#!/bin/sh\n"
                           << "echo \"$$ $(cut -d' ' -f6 /proc/$$/stat)\" >> '"
                           << (folder / "starts").string() << "'\n";
    ::chmod(program.c_str(), 0755);
    return program.string();
}

std::vector<std::string> lines(const std::filesystem::path& file) {
    std::vector<std::string> result;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        result.push_back(line);
    }
    return result;
}

class PostUpdateTest : public testing::Test {
protected:
    KBEPostUpdateManager::Collaborators collaborators(std::string application) {
        return {std::move(application), bus.address(), queue,
                [this](int status) {
                    exits.push_back(status);
                    exited.notify();
                },
                [this] {
                    subscribed.notify();
                }};
    }

    testsupport::PrivateBus bus;
    testsupport::TempFolder folder;
    dispatch::QueuePtr queue = dispatch::SerialQueue::create("test.post-update");
    testsupport::Waiter subscribed;
    testsupport::Waiter exited;
    std::vector<int> exits; // written on `queue` only
};

TEST_F(PostUpdateTest, TwoNotificationsOpenTheApplicationOnceInASessionOfItsOwn) {
    ASSERT_TRUE(bus.ready());
    KBEPostUpdateManager manager(collaborators(writeApplication(folder.path())));
    manager.start();
    ASSERT_TRUE(subscribed.waitFor());

    // The application runs detached: its line is waited for through the folder's events.
    const int events = ::inotify_init1(IN_CLOEXEC);
    ASSERT_GE(events, 0);
    ASSERT_GE(::inotify_add_watch(events, folder.path().c_str(), IN_CLOSE_WRITE), 0);

    notify::Poster poster(bus.address());
    ASSERT_EQ(poster.post(kKBEDidUpdateNotification), std::nullopt);
    ASSERT_EQ(poster.post(kKBEDidUpdateNotification), std::nullopt);
    ASSERT_TRUE(exited.waitFor());
    queue->sync([] {});
    ASSERT_EQ(exits, std::vector<int>{0});

    std::vector<std::string> starts;
    while ((starts = lines(folder.path() / "starts")).empty()) {
        pollfd ready{events, POLLIN, 0};
        ASSERT_EQ(::poll(&ready, 1, testsupport::kWaitLimitMilliseconds), 1)
            << "the application did not start";
        char buffer[4096];
        ASSERT_GT(::read(events, buffer, sizeof buffer), 0);
    }
    ::close(events);
    ASSERT_EQ(starts.size(), 1u);
    std::istringstream fields(starts[0]);
    pid_t pid = 0;
    pid_t session = 0;
    fields >> pid >> session;
    EXPECT_EQ(pid, session) << "the application leads a session of its own";
    EXPECT_NE(session, ::getsid(0));
}

TEST_F(PostUpdateTest, AnApplicationThatCannotStartStillEndsTheAgentWithStatusZero) {
    ASSERT_TRUE(bus.ready());
    KBEPostUpdateManager manager(collaborators((folder.path() / "missing").string()));
    manager.start();
    ASSERT_TRUE(subscribed.waitFor());
    ASSERT_EQ(notify::Poster(bus.address()).post(kKBEDidUpdateNotification), std::nullopt);
    ASSERT_TRUE(exited.waitFor());
    queue->sync([] {});
    EXPECT_EQ(exits, std::vector<int>{0});
}

} // namespace

// What a tool started by spawn_tool inherits from a busy process: its standard streams and
// nothing else, whatever the runtime, the log and a preferences write hold open meanwhile.

#include "LogTestSupport.h"
#include "common/VRNLog.h"
#include "common/VRNSpawn.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Source.h"
#include "platform/preferences/Domain.h"
#include "tests/support/Waiter.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::set<int> openDescriptors() {
    std::set<int> fds;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        fds.insert(std::stoi(entry.path().filename().string()));
    }
    return fds;
}

// Descriptors this program was started with beyond the standard streams (a harness's own):
// not ours to judge, so left out of what a child may inherit.
std::set<int> inheritedAtStart() {
    static const std::set<int> inherited = [] {
        std::set<int> fds;
        for (int fd : openDescriptors()) {
            const int flags = ::fcntl(fd, F_GETFD);
            if (fd > 2 && flags >= 0 && !(flags & FD_CLOEXEC)) {
                fds.insert(fd);
            }
        }
        return fds;
    }();
    return inherited;
}

// The descriptors a child of spawn_tool has open, beyond the standard streams, the ones
// inherited at start, and the one its own listing opens.
std::set<int> leakedToAChild(const fs::path& listing) {
    const std::string out = listing.string();
    const char* argv[] = {"/bin/sh", "-c", "exec /bin/ls -1 /proc/self/fd >\"$0\"", out.c_str(),
                          nullptr};
    VRNError error("unset", 0);
    EXPECT_TRUE(spawn_tool(argv, &error)) << VRNError::localizedDescriptionForError(error);
    std::set<int> fds;
    for (const auto& line : logtest::linesOf(logtest::readFile(listing))) {
        const int fd = std::stoi(line);
        if (fd > 2 && !inheritedAtStart().contains(fd)) {
            fds.insert(fd);
        }
    }
    EXPECT_FALSE(fds.empty()) << "the listing's own descriptor is missing";
    if (!fds.empty()) {
        fds.erase(fds.begin()); // the lowest free number: the listing's own
    }
    return fds;
}

TEST(DescriptorInheritanceTest, AChildInheritsOnlyTheStandardStreams) {
    inheritedAtStart();
    std::unique_ptr<logtest::TempFolder> root(logtest::installLogging("inherit"));
    const fs::path listing = root->path() / "listing";

    // The log file is open once a line has been written.
    VRNLog(LOG_NOTICE, "descriptor inheritance %d", 1);
    _VRNLogSync();

    // The runtime: its reactor, a timer, a read source, a signal source and a child watched
    // through its process descriptor (waiting on a FIFO until released).
    auto queue = dispatch::SerialQueue::create("com.vornhal.test.inherit");
    dispatch::TimerSource timer(queue, [] {});
    timer.schedule(dispatch::afterNow(1h));
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    auto reading = dispatch::ReadSource::create(pipeFds[0], queue, [] {});
    ASSERT_TRUE(reading);
    auto signals = dispatch::SignalSource::create(SIGUSR2, queue, [] {});
    ASSERT_TRUE(signals);
    const fs::path gate = root->path() / "gate";
    ASSERT_EQ(::mkfifo(gate.c_str(), 0600), 0);
    const std::string gatePath = gate.string();
    const char* waiting[] = {"/bin/sh", "-c", "read line <\"$0\"", gatePath.c_str(), nullptr};
    testsupport::Waiter waited;
    spawn_tool_async(waiting, queue, [&](std::optional<VRNError>) { waited.notify(); });

    // A preferences write, stopped halfway with its lock and its temporary open.
    prefs::Domain domain(
        "com.vornhal.keelbrook.test",
        (root->path() / "Library/Preferences/com.vornhal.keelbrook.test.plist").string());
    ASSERT_TRUE(domain.setValue("Warm", 1));
    std::set<int> parentHeld;
    std::set<int> leaked;
    domain.setWriteObserver([&](prefs::WriteStep step) {
        if (step == prefs::WriteStep::HalfWritten) {
            parentHeld = openDescriptors();
            leaked = leakedToAChild(listing);
        }
    });
    ASSERT_TRUE(domain.setValue("Key", 2));
    domain.setWriteObserver(nullptr);

    // Something was open to leak: log, epoll, eventfd, timers, signalfd, pipe, pidfd, lock,
    // temporary, and the directory being listed.
    EXPECT_GE(parentHeld.size(), 3 + inheritedAtStart().size() + 10);
    EXPECT_TRUE(leaked.empty()) << "leaked: " << testing::PrintToString(leaked)
                                << " of the parent's " << testing::PrintToString(parentHeld);

    // The check itself sees a descriptor that is not close-on-exec.
    const int plain = ::fcntl(pipeFds[1], F_DUPFD, 3);
    ASSERT_GE(plain, 0);
    EXPECT_EQ(leakedToAChild(listing), std::set<int>{plain});
    ::close(plain);

    files::Descriptor release = files::openFile(gate, O_WRONLY);
    ASSERT_TRUE(release.valid());
    release.reset(); // the waiting child reads end of file and exits
    EXPECT_TRUE(waited.waitFor());
    reading->cancel();
    signals->cancel();
    timer.cancel();
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

} // namespace

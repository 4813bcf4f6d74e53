// Reachability on the kernel's real rtnetlink, in a private network namespace where routes
// can be made freely: a default route (IPv4 or IPv6) makes the server reachable, and route
// events tell the watcher without any polling.

#include "platform/reachability/Reachability.h"

#include "platform/dispatch/VirtualClock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <sched.h>
#include <vector>

namespace {

std::string namespaceError;

bool run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

void drain() {
    dispatch::VirtualClock::install().drain();
}

class ReachabilityTest : public testing::Test {
protected:
    void SetUp() override {
        if (!namespaceError.empty()) {
            GTEST_SKIP() << "no private network namespace here (" << namespaceError << ")";
        }
        if (!run("ip link add kbreach0 type dummy") &&
            !run("ip link add kbreach0 type veth peer name kbreach1")) {
            GTEST_SKIP() << "neither dummy nor veth links can be made in the namespace";
        }
        ASSERT_TRUE(run("ip link set kbreach0 up"));
        ASSERT_TRUE(run("ip addr add 10.78.0.1/24 dev kbreach0"));
    }
    void TearDown() override { run("ip link del kbreach0"); }

    std::vector<bool> seen() {
        std::lock_guard guard(mutex);
        return readings;
    }

    std::mutex mutex;
    std::vector<bool> readings;
    dispatch::QueuePtr queue = dispatch::SerialQueue::create("com.vornhal.test.reachability");
};

TEST_F(ReachabilityTest, ADefaultRouteMakesTheServerReachable) {
    auto reachability = reachability::Reachability::system();
    EXPECT_FALSE(reachability->reachable()) << "a link with an address is not enough";
    std::string error;
    ASSERT_TRUE(reachability->start(
        queue,
        [this](bool reachable) {
            std::lock_guard guard(mutex);
            readings.push_back(reachable);
        },
        &error))
        << error;
    drain();
    ASSERT_EQ(seen(), std::vector<bool>{false}) << "a reading follows the start";

    ASSERT_TRUE(run("ip route add default via 10.78.0.2 dev kbreach0 onlink"));
    drain();
    EXPECT_TRUE(seen().back());
    EXPECT_TRUE(reachability->reachable());

    ASSERT_TRUE(run("ip route del default"));
    drain();
    EXPECT_FALSE(seen().back());

    if (run("ip -6 addr add fd00:78::1/64 dev kbreach0 nodad") &&
        run("ip -6 route add default via fd00:78::2 dev kbreach0 onlink")) {
        drain();
        EXPECT_TRUE(seen().back()) << "an IPv6 default route counts";
        ASSERT_TRUE(run("ip -6 route del default"));
        drain();
    }

    reachability->stop();
    const auto count = seen().size();
    ASSERT_TRUE(run("ip route add default via 10.78.0.2 dev kbreach0 onlink"));
    drain();
    EXPECT_EQ(seen().size(), count) << "nothing arrives after stop";
}

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // Before any thread exists: a user namespace can only be entered single-threaded.
    if (::unshare(CLONE_NEWNET) != 0 && ::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
        namespaceError = std::strerror(errno);
    } else if (std::system("ip -V >/dev/null 2>&1") != 0) {
        namespaceError = "the ip tool (iproute2) is missing";
    }
    dispatch::VirtualClock::install();
    return RUN_ALL_TESTS();
}

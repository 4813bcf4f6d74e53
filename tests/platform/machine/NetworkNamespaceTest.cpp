// The network type source on the kernel's real rtnetlink, in a private network namespace
// of its own where links and routes can be made freely.

#include "platform/dispatch/Queue.h"
#include "platform/dispatch/VirtualClock.h"
#include "platform/machine-linux/LinuxFeeds.h"
#include "platform/machine-linux/LinuxSources.h"
#include "tests/platform/machine/MachineTestSupport.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <sched.h>
#include <string>
#include <unistd.h>

namespace {

using machine::NetworkType;

std::string namespaceError; // why no namespace could be entered, empty when one was

bool run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

class NetworkNamespaceTest : public testing::Test {
protected:
    void SetUp() override {
        if (!namespaceError.empty()) {
            GTEST_SKIP() << "no private network namespace here (" << namespaceError
                         << "): the real rtnetlink test does not run";
        }
        // An Ethernet link: a dummy one where the kernel has the driver, else a veth pair.
        if (run("ip link add kbtest0 type dummy")) {
            link = "kbtest0";
        } else if (run("ip link add kbtest0 type veth peer name kbtest1")) {
            link = "kbtest0";
        } else {
            GTEST_SKIP() << "neither dummy nor veth links can be made in the namespace";
        }
        ASSERT_TRUE(run("ip link set " + link + " up"));
        ASSERT_TRUE(run("ip addr add 10.77.0.1/24 dev " + link));
        machine::LinuxSeams seams;
        seams.routeEvents = machine::linuxfeeds::routeChanges();
        sources = machine::createLinuxSources({}, std::move(seams));
    }
    void TearDown() override {
        if (!link.empty()) {
            run("ip link del " + link);
        }
        run("ip link del kbtun0");
    }

    machinetest::TempRoot root; // sysfs entries of the test's own
    std::string link;
    machine::Sources sources;
    dispatch::QueuePtr queue = dispatch::SerialQueue::create("com.vornhal.test.netns");
};

TEST_F(NetworkNamespaceTest, TheDefaultRoutesInterfaceGivesTheType) {
    machinetest::Recorder<NetworkType> seen;
    std::string error;
    ASSERT_TRUE(sources.networkType->start(queue, seen.handler(), &error)) << error;
    dispatch::VirtualClock::install().drain();
    ASSERT_FALSE(seen.values().empty()); // the first reading follows the start
    EXPECT_EQ(seen.values().back(), NetworkType::Unknown);

    // Route changes arrive from the kernel and the type is read again.
    ASSERT_TRUE(run("ip route add default via 10.77.0.2 dev " + link + " onlink metric 100"));
    dispatch::VirtualClock::install().drain();
    EXPECT_EQ(seen.values().back(), NetworkType::Wired);

    // The same interface shown as wireless in sysfs is Wi-Fi.
    root.write("sys/class/net/" + link + "/phy80211/name", "phy0\n");
    EXPECT_EQ(sources.networkType->current(), NetworkType::WiFi);
    std::filesystem::remove_all(root.path() / "sys");

    // A default route with a lower metric over a link that is not Ethernet wins.
    if (run("ip tuntap add kbtun0 mode tun") && run("ip link set kbtun0 up") &&
        run("ip route add default dev kbtun0 metric 50")) {
        dispatch::VirtualClock::install().drain();
        EXPECT_EQ(seen.values().back(), NetworkType::Unknown);
        ASSERT_TRUE(run("ip link del kbtun0"));
        dispatch::VirtualClock::install().drain();
        EXPECT_EQ(seen.values().back(), NetworkType::Wired);
    }

    ASSERT_TRUE(run("ip route del default"));
    dispatch::VirtualClock::install().drain();
    EXPECT_EQ(seen.values().back(), NetworkType::Unknown);

    sources.networkType->stop();
    const auto count = seen.values().size();
    ASSERT_TRUE(run("ip route add default via 10.77.0.2 dev " + link + " onlink"));
    dispatch::VirtualClock::install().drain();
    EXPECT_EQ(seen.values().size(), count);
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

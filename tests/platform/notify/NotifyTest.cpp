// Notifications between programs on a private system bus that runs the product's policy
// (real clock).

#include "platform/notify/Notify.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/NotificationRecorder.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/Waiter.h"

#include <filesystem>
#include <gmock/gmock.h>
#include <mutex>
#include <string>
#include <systemd/sd-bus.h>
#include <unistd.h>
#include <vector>

namespace {

using testing::ElementsAre;

constexpr const char* kSnapshot = "com.vornhal.keelbrook.snapshot";
constexpr const char* kDidUpdate = "com.vornhal.keelbrook.did-update";

using Recorder = testsupport::NotificationRecorder;

class NotifyTest : public testing::Test {
protected:
    testsupport::PrivateBus bus{KEELBROOK_TEST_BUS_CONFIG};
    dispatch::QueuePtr queue = dispatch::SerialQueue::create("test.notify");
};

TEST(NotifyAddressTest, TheSocketOfAUnixPathEntry) {
    EXPECT_EQ(notify::socketPathOf("unix:path=/run/dbus/system_bus_socket"),
              "/run/dbus/system_bus_socket");
    EXPECT_EQ(notify::socketPathOf("tcp:host=localhost,port=1;unix:guid=1,path=/tmp/a%2fb%20c"),
              "/tmp/a/b c");
    EXPECT_EQ(notify::socketPathOf("unix:abstract=/tmp/x"), std::nullopt);
    EXPECT_EQ(notify::socketPathOf("unix:path=/tmp/x%2"), std::nullopt) << "broken escape";
    EXPECT_EQ(notify::socketPathOf("unix:path=relative"), std::nullopt);
    EXPECT_EQ(notify::socketPathOf(""), std::nullopt);
}

TEST_F(NotifyTest, AnObserverGetsItsNameOnlyAndInOrder) {
    ASSERT_TRUE(bus.ready());
    testsupport::Waiter subscribed;
    testsupport::Waiter snapshots;
    notify::Observer observer(
        kSnapshot, queue, [&] { snapshots.notify(); }, bus.address(), [&] { subscribed.notify(); });
    ASSERT_TRUE(subscribed.waitFor());
    Recorder all(bus.address());

    notify::Poster poster(bus.address());
    EXPECT_EQ(poster.post(kDidUpdate), std::nullopt);
    EXPECT_EQ(poster.post(kSnapshot), std::nullopt);
    EXPECT_EQ(poster.post(kSnapshot), std::nullopt);
    ASSERT_TRUE(all.waitFor(3));
    EXPECT_THAT(all.names(), ElementsAre(kDidUpdate, kSnapshot, kSnapshot));
    ASSERT_TRUE(snapshots.waitFor(2));
    queue->sync([] {});
    EXPECT_EQ(snapshots.count(), 2) << "the other name is not delivered to this observer";
    EXPECT_EQ(subscribed.count(), 1);
}

TEST_F(NotifyTest, OnlyRootMaySend) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root: the sender switches to uid 65534 to be refused by the "
                        "bus's policy, and only root can switch users";
    }
    ASSERT_TRUE(bus.ready());
    // uid 65534 must reach the socket in the private folder.
    std::filesystem::permissions(
        bus.folder(), std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                          std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                          std::filesystem::perms::others_exec);
    Recorder all(bus.address());

    const auto send = [&](const char* uid, const char* name) {
        return testsupport::runChild({KEELBROOK_NOTIFY_SENDER, bus.address(), uid, name});
    };
    const auto nobody = send("65534", kSnapshot);
    EXPECT_EQ(nobody.exitStatus, 0) << nobody.output;
    EXPECT_THAT(nobody.output, testing::StartsWith("connected as 65534 to "))
        << "the user can use the bus";
    EXPECT_THAT(nobody.output, testing::HasSubstr("posted"));

    // Sent after the refused one was handled: if that had been delivered, it came first.
    const auto root = send("0", kDidUpdate);
    EXPECT_EQ(root.exitStatus, 0) << root.output;
    ASSERT_TRUE(all.waitFor(1));
    EXPECT_THAT(all.names(), ElementsAre(kDidUpdate));
}

TEST_F(NotifyTest, AnObserverStartedBeforeTheBusSubscribesWhenItAppearsAndAfterItCameBack) {
    bus.stop();
    testsupport::Waiter subscribed;
    testsupport::Waiter snapshots;
    notify::Observer observer(
        kSnapshot, queue, [&] { snapshots.notify(); }, bus.address(), [&] { subscribed.notify(); });
    queue->sync([] {});
    EXPECT_EQ(subscribed.count(), 0);

    bus.start();
    ASSERT_TRUE(bus.ready());
    ASSERT_TRUE(subscribed.waitFor(1));
    notify::Poster poster(bus.address());
    EXPECT_EQ(poster.post(kSnapshot), std::nullopt);
    ASSERT_TRUE(snapshots.waitFor(1));

    bus.stop();
    bus.start();
    ASSERT_TRUE(bus.ready());
    ASSERT_TRUE(subscribed.waitFor(2)) << "the observer follows a bus that went away and came back";
    std::optional<std::string> failure = poster.post(kSnapshot);
    if (failure) {
        // The poster's connection to the old bus may only now learn that it is gone.
        failure = poster.post(kSnapshot);
    }
    EXPECT_EQ(failure, std::nullopt);
    ASSERT_TRUE(snapshots.waitFor(2));
}

TEST_F(NotifyTest, WithoutABusAPostIsDroppedAndReportedOncePerOutage) {
    bus.stop();
    notify::Poster poster(bus.address());
    const auto first = poster.post(kSnapshot);
    ASSERT_TRUE(first);
    EXPECT_THAT(*first, testing::HasSubstr(bus.address()));
    EXPECT_EQ(poster.post(kSnapshot), std::nullopt) << "reported once";

    bus.start();
    ASSERT_TRUE(bus.ready());
    Recorder all(bus.address());
    EXPECT_EQ(poster.post(kSnapshot), std::nullopt);
    ASSERT_TRUE(all.waitFor(1));

    bus.stop();
    auto again = poster.post(kSnapshot);
    if (!again) {
        again = poster.post(kSnapshot); // the first write may still have gone to the socket
    }
    EXPECT_TRUE(again) << "a new outage is reported again";
}

} // namespace

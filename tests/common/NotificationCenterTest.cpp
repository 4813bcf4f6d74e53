#include "common/VRNNotificationCenter.h"
#include "common/VRNQueue.h"
#include "platform/dispatch/VirtualClock.h"
#include "tests/support/Gate.h"

#include <gtest/gtest.h>
#include <thread>

namespace {

TEST(VRNNotificationCenterTest, DeliversByNameSynchronouslyOrOnTheObserversQueue) {
    VRNNotificationCenter center;
    auto queue = VRNQueueCreate("com.vornhal.test.observer", VRNQueueMain());
    std::thread::id poster = std::this_thread::get_id();
    std::vector<std::string> seen;
    bool syncOnPoster = false;
    bool asyncOnQueue = false;
    int asyncCalls = 0;
    auto syncToken =
        center.addObserver("VRNActivityTimeZoneDidChange", nullptr,
                           [&](const std::string& name, const std::any& object) {
                               syncOnPoster = std::this_thread::get_id() == poster;
                               seen.push_back(name + ":" + std::any_cast<std::string>(object));
                           });
    center.addObserver("VRNActivityTimeZoneDidChange", queue,
                       [&](const std::string&, const std::any&) {
                           asyncOnQueue = queue->isCurrent();
                           ++asyncCalls;
                       });
    center.addObserver("KBEDidEnableAutoUpdates", nullptr,
                       [&](const std::string& name, const std::any&) { seen.push_back(name); });

    center.post("VRNActivityTimeZoneDidChange", std::string("zone"));
    EXPECT_TRUE(syncOnPoster);
    EXPECT_EQ(seen, std::vector<std::string>{"VRNActivityTimeZoneDidChange:zone"});
    dispatch::VirtualClock::install().drain();
    EXPECT_TRUE(asyncOnQueue);

    center.removeObserver(syncToken);
    center.post("VRNActivityTimeZoneDidChange", std::string("again"));
    center.post("KBEDidEnableAutoUpdates");
    dispatch::VirtualClock::install().drain();
    EXPECT_EQ(asyncCalls, 2);
    EXPECT_EQ(seen, (std::vector<std::string>{"VRNActivityTimeZoneDidChange:zone",
                                              "KBEDidEnableAutoUpdates"}));
}

TEST(VRNNotificationCenterTest, AQueuedDeliveryIsDroppedWhenTheObserverIsRemovedFirst) {
    VRNNotificationCenter center;
    auto queue = VRNQueueCreate("com.vornhal.test.observer", VRNQueueMain());
    int calls = 0;
    auto token =
        center.addObserver("n", queue, [&](const std::string&, const std::any&) { ++calls; });
    // Hold the main queue so the delivery stays queued while the observer goes away.
    testsupport::Gate hold;
    VRNQueueMain()->async([&] { hold.pass(); });
    center.post("n");
    center.removeObserver(token);
    hold.open();
    dispatch::VirtualClock::install().drain();
    EXPECT_EQ(calls, 0);
}

TEST(VRNNotificationCenterTest, HandlersMayRemoveObserversWhileBeingPosted) {
    VRNNotificationCenter center;
    VRNNotificationCenter::Token second = 0;
    int firstCalls = 0;
    int secondCalls = 0;
    center.addObserver("n", nullptr, [&](const std::string&, const std::any&) {
        ++firstCalls;
        center.removeObserver(second);
    });
    second = center.addObserver("n", nullptr,
                                [&](const std::string&, const std::any&) { ++secondCalls; });
    center.post("n");
    center.post("n");
    EXPECT_EQ(firstCalls, 2);
    EXPECT_EQ(secondCalls, 0);
}

} // namespace

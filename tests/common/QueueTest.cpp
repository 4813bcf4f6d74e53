#include "common/VRNQueue.h"
#include "platform/dispatch/VirtualClock.h"

#include <gtest/gtest.h>
#include <vector>

namespace {

// Read by a load-time initializer of this program: the main queue must already exist then
// (VRNQueueMain aborts when it does not).
const dispatch::Queue* const mainQueueAtLoad = VRNQueueMain().get();

TEST(VRNQueueTest, MainQueueExistsBeforeMainAndIsAlwaysTheSame) {
    EXPECT_EQ(mainQueueAtLoad, VRNQueueMain().get());
    EXPECT_EQ(VRNQueueMain(), VRNQueueMain());
    EXPECT_EQ(VRNQueueMain()->label(), "com.vornhal.main");
    EXPECT_EQ(VRNQueueMain()->target(), nullptr);
}

TEST(VRNQueueTest, QueuesCreatedOnTheMainQueueAreSerialisedWithIt) {
    auto a = VRNQueueCreate("com.vornhal.keelbrook.main", VRNQueueMain());
    auto b = VRNQueueCreate("com.vornhal.keelbrook.backup-manager", VRNQueueMain());
    EXPECT_EQ(a->label(), "com.vornhal.keelbrook.main");
    EXPECT_EQ(a->target(), VRNQueueMain().get());
    std::vector<char> order;
    bool mainWasCurrent = true;
    for (int i = 0; i < 100; ++i) {
        a->async([&] { order.push_back('a'); });
        b->async([&] {
            order.push_back('b');
            mainWasCurrent = mainWasCurrent && VRNQueueMain()->isCurrent();
        });
    }
    dispatch::VirtualClock::install().drain();
    EXPECT_EQ(order.size(), 200u); // unsynchronised writes: TSan would flag overlap
    EXPECT_TRUE(mainWasCurrent);

    auto context = VRNQueueContextCreate("com.vornhal.other");
    EXPECT_EQ(context->target(), nullptr);
    EXPECT_NE(context, VRNQueueMain());
}

} // namespace

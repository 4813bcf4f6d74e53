#include "platform/dispatch/VirtualClock.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // Death tests re-run the program rather than fork it: a forked child would have no
    // runtime threads.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    dispatch::VirtualClock::install();
    return RUN_ALL_TESTS();
}

// The composition root's rules: one environment per process, complete, installed before
// anything asks for a shared instance; and several configurations side by side in one
// program when they are passed in instead.
#include "common/VRNEnvironment.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

namespace {

TEST(VRNEnvironmentTest, ConfigurationsLiveSideBySideWhenPassedIn) {
    const VRNEnvironment older = testsupport::environment("10.11.6");
    const VRNEnvironment newer = testsupport::environment("15.0");
    EXPECT_FALSE(older.versions->runningAtLeast(VRNSystemVersion10_12));
    EXPECT_TRUE(newer.versions->runningAtLeast(VRNSystemVersion10_15));
    EXPECT_NE(older.notifications, newer.notifications);

    int heardByOlder = 0;
    older.notifications->addObserver("ping", nullptr,
                                     [&](const std::string&, const std::any&) { ++heardByOlder; });
    newer.notifications->post("ping");
    EXPECT_EQ(heardByOlder, 0);
    older.notifications->post("ping");
    EXPECT_EQ(heardByOlder, 1);
}

TEST(VRNEnvironmentTest, SharedInstancesComeFromTheInstalledOne) {
    EXPECT_EXIT(
        {
            auto environment = testsupport::environment();
            const auto* center = environment.notifications.get();
            VRNEnvironment::install(std::move(environment));
            std::exit(&VRNNotificationCenter::defaultCenter() == center ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST(VRNEnvironmentTest, WiringMistakesEndTheProcessWithTheirReason) {
    EXPECT_DEATH(VRNNotificationCenter::defaultCenter(), "No environment installed");
    EXPECT_DEATH(
        {
            VRNEnvironment::install(testsupport::environment());
            VRNEnvironment::install(testsupport::environment());
        },
        "installed once");
    EXPECT_DEATH(
        {
            auto incomplete = testsupport::environment();
            incomplete.logicQueue = nullptr;
            VRNEnvironment::install(std::move(incomplete));
        },
        "needs its versions");
    EXPECT_DEATH(testsupport::environment().requireMachine(), "without a machine");
}

} // namespace

#include "common/VRNEnvironment.h"
#include "common/VRNSystemVersionManager.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace {

VRNSystemVersionManager running(long major, long minor, long patch = 0) {
    return VRNSystemVersionManager({major, minor, patch});
}

TEST(VRNSystemVersionManagerTest, RunningAtLeastFollowsTheEnumeration) {
    EXPECT_FALSE(running(10, 12, 6).runningAtLeast(VRNSystemVersion10_13));
    EXPECT_TRUE(running(10, 13).runningAtLeast(VRNSystemVersion10_13));
    EXPECT_TRUE(running(15, 0).runningAtLeast(VRNSystemVersion10_13));
    EXPECT_TRUE(running(10, 12).runningAtLeast(VRNSystemVersion10_12));
    EXPECT_FALSE(running(10, 11, 9).runningAtLeast(VRNSystemVersion10_12));
    EXPECT_TRUE(running(10, 10).runningAtLeast(VRNSystemVersion10_10));
    EXPECT_TRUE(running(11, 0).runningAtLeast(VRNSystemVersion10_15));
}

TEST(VRNSystemVersionManagerTest, RunningAtLeastVersionComparesAllThreeParts) {
    auto m = running(10, 14, 6);
    EXPECT_TRUE(m.runningAtLeastVersion(10, 14, 6));
    EXPECT_TRUE(m.runningAtLeastVersion(10, 14, 5));
    EXPECT_FALSE(m.runningAtLeastVersion(10, 14, 7));
    EXPECT_FALSE(m.runningAtLeastVersion(10, 15, 0));
    EXPECT_TRUE(m.runningAtLeastVersion(9, 99, 99));
    EXPECT_FALSE(m.runningAtLeastVersion(11, 0, 0));
}

TEST(VRNSystemVersionManagerTest, BeforeTenTenTheVersionCannotBeReported) {
    auto m = running(10, 9, 5);
    for (unsigned v = 0; v <= 5; ++v) {
        EXPECT_FALSE(m.runningAtLeast(v)) << v;
    }
    EXPECT_TRUE(m.runningAtLeastVersion(10, 9, 0));
    EXPECT_TRUE(m.runningAtLeastVersion(10, 9, 7)); // any patch
    EXPECT_FALSE(m.runningAtLeastVersion(10, 8, 0));
    EXPECT_FALSE(m.runningAtLeastVersion(10, 10, 0));
}

TEST(VRNSystemVersionManagerTest, ParsesOverridesStrictly) {
    using V = VRNOperatingSystemVersion;
    EXPECT_EQ(V::parse("10.12.6"), (V{10, 12, 6}));
    EXPECT_EQ(V::parse("10.9"), (V{10, 9, 0}));
    EXPECT_EQ(V::parse("15"), (V{15, 0, 0}));
    for (const char* bad :
         {"", "10.", ".10", "10..1", "10.12.6.1", "ten", "10.-1", "+10", "10.12 ", "10,12"}) {
        EXPECT_EQ(V::parse(bad), std::nullopt) << bad;
    }
}

TEST(VRNSystemVersionManagerTest, TheProcessOverrideIsReadAndAMalformedOneReported) {
    EXPECT_EXIT(
        {
            setenv("KEELBROOK_SYSTEM_VERSION", "10.12.6", 1);
            const auto m = VRNSystemVersionManager::fromProcess();
            std::exit(m.runningAtLeast(VRNSystemVersion10_12) &&
                              !m.runningAtLeast(VRNSystemVersion10_13)
                          ? 0
                          : 1);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            setenv("KEELBROOK_SYSTEM_VERSION", "latest", 1);
            const auto m = VRNSystemVersionManager::fromProcess();
            std::exit(m.version() == VRNOperatingSystemVersion{15, 0, 0} ? 0 : 1);
        },
        testing::ExitedWithCode(0), "ignoring KEELBROOK_SYSTEM_VERSION \"latest\"");
}

TEST(VRNSystemVersionManagerTest, TheSharedManagerIsTheInstalledEnvironments) {
    EXPECT_EXIT(
        {
            auto environment = VRNEnvironment::fromProcess(nullptr);
            environment.versions = std::make_shared<const VRNSystemVersionManager>(
                VRNOperatingSystemVersion{10, 11, 6});
            const auto* versions = environment.versions.get();
            VRNEnvironment::install(std::move(environment));
            std::exit(&VRNSystemVersionManager::sharedManager() == versions &&
                              !VRNSystemVersionManager::sharedManager().runningAtLeast(
                                  VRNSystemVersion10_12)
                          ? 0
                          : 1);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_DEATH(VRNSystemVersionManager::sharedManager(), "No environment installed");
}

} // namespace

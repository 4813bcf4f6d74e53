// Built twice: with KEELBROOK_RELOCATABLE=1 the installation root comes from KEELBROOK_ROOT;
// with 0, as in the package build, the variable has no effect at all.
#include "platform/paths/Paths.h"
#include "tests/platform/paths/ScopedEnv.h"

#include <gtest/gtest.h>

namespace {

using pathstest::ScopedEnv;

#if KEELBROOK_RELOCATABLE

TEST(RelocatableRootTest, RootFromEnvironment) {
    EXPECT_TRUE(paths::relocatable());
    std::string error;
    {
        ScopedEnv env("KEELBROOK_ROOT", nullptr);
        EXPECT_EQ(paths::rootFromEnvironment(&error), "");
    }
    {
        ScopedEnv env("KEELBROOK_ROOT", "/tmp/kb//");
        EXPECT_EQ(paths::rootFromEnvironment(&error), "/tmp/kb");
    }
    {
        ScopedEnv env("KEELBROOK_ROOT", "/");
        EXPECT_EQ(paths::rootFromEnvironment(&error), "");
    }
    {
        ScopedEnv env("KEELBROOK_ROOT", "relative/root");
        EXPECT_EQ(paths::rootFromEnvironment(&error), std::nullopt);
        EXPECT_EQ(error, "KEELBROOK_ROOT must be an absolute path, not \"relative/root\"");
    }
}

TEST(RelocatableRootTest, RelativeRootStopsTheProgramWithAClearMessage) {
    EXPECT_EXIT(
        {
            setenv("KEELBROOK_ROOT", "tmp/x", 1);
            paths::rereadRootForTesting();
            paths::path("/Library/Keelbrook/Settings.plist");
        },
        testing::ExitedWithCode(78), "KEELBROOK_ROOT must be an absolute path");
}

TEST(RelocatableRootTest, LocationIsBelowTheRootReadOncePerProcess) {
    ScopedEnv env("KEELBROOK_ROOT", "/tmp/kbroot");
    paths::rereadRootForTesting();
    EXPECT_EQ(paths::path("/Library/Keelbrook/Settings.plist"),
              "/tmp/kbroot/var/lib/keelbrook/Settings.plist");
    EXPECT_EQ(paths::path("/etc/localtime"), "/tmp/kbroot/etc/localtime");

    setenv("KEELBROOK_ROOT", "/tmp/other", 1);
    EXPECT_EQ(paths::path("/var/run/keelbrook/simulated"), "/tmp/kbroot/run/keelbrook/simulated");
    paths::rereadRootForTesting();
    EXPECT_EQ(paths::path("/var/run/keelbrook/simulated"), "/tmp/other/run/keelbrook/simulated");
}

#else

TEST(FixedRootTest, KeelbrookRootIsIgnored) {
    EXPECT_FALSE(paths::relocatable());
    ScopedEnv env("KEELBROOK_ROOT", "/tmp/kbroot");
    paths::rereadRootForTesting();
    std::string error;
    EXPECT_EQ(paths::rootFromEnvironment(&error), "");
    EXPECT_EQ(paths::path("/Library/Keelbrook/Settings.plist"),
              "/var/lib/keelbrook/Settings.plist");
    EXPECT_EQ(paths::path("/proc/stat"), "/proc/stat");
}

TEST(FixedRootTest, MalformedKeelbrookRootDoesNotStopTheProgram) {
    ScopedEnv env("KEELBROOK_ROOT", "relative/root");
    paths::rereadRootForTesting();
    std::string error;
    EXPECT_EQ(paths::rootFromEnvironment(&error), "");
    EXPECT_EQ(error, "");
    EXPECT_EQ(paths::path("/Library/Logs/Keelbrook"), "/var/log/keelbrook");
}

#endif

} // namespace

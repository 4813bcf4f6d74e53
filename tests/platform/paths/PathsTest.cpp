#include "platform/paths/Paths.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace {

class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        if (value) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (old_) {
            setenv(name_, old_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(PathsTest, RootFromEnvironment) {
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

TEST(PathsTest, RelativeRootStopsTheProgramWithAClearMessage) {
    EXPECT_EXIT(
        {
            setenv("KEELBROOK_ROOT", "tmp/x", 1);
            paths::path("/Library/Keelbrook/Settings.plist");
        },
        testing::ExitedWithCode(78), "KEELBROOK_ROOT must be an absolute path");
}

TEST(PathsTest, PathIsRelocatedUnderRoot) {
    EXPECT_EXIT(
        {
            setenv("KEELBROOK_ROOT", "/tmp/kbroot", 1);
            bool ok = paths::path("/Library/Keelbrook/Settings.plist") ==
                      "/tmp/kbroot/Library/Keelbrook/Settings.plist";
            std::exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST(PathsTest, HomePathComesFromHome) {
    ScopedEnv env("HOME", "/home/someone/");
    EXPECT_EQ(paths::homePath("Library/Logs/Keelbrook"), "/home/someone/Library/Logs/Keelbrook");
}

} // namespace

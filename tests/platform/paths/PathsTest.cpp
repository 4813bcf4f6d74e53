#include "platform/paths/Paths.h"

#include "tests/platform/paths/ScopedEnv.h"

#include <gtest/gtest.h>

namespace {

using pathstest::ScopedEnv;

struct Case {
    const char* product;
    const char* location;
};

TEST(PathsTest, EveryRowOfTheTableAndThePathsBelowIt) {
    const Case cases[] = {
        {"/Library/Keelbrook/kbectl", "/usr/bin/kbectl"},
        {"/Library/Keelbrook/com.vornhal.keelbrook.scheduler",
         "/usr/libexec/keelbrook/com.vornhal.keelbrook.scheduler"},
        {"/Library/Keelbrook/com.vornhal.keelbrook.post-update",
         "/usr/libexec/keelbrook/com.vornhal.keelbrook.post-update"},
        {"/Library/Keelbrook/com.vornhal.keelbrook.upgrader",
         "/usr/libexec/keelbrook/com.vornhal.keelbrook.upgrader"},
        {"/Library/Keelbrook/uninstall.sh", "/usr/libexec/keelbrook/uninstall.sh"},
        {"/Library/Keelbrook", "/var/lib/keelbrook"},
        {"/Library/Keelbrook/Settings.plist", "/var/lib/keelbrook/Settings.plist"},
        {"/Library/Keelbrook/update/package.pkg", "/var/lib/keelbrook/update/package.pkg"},
        {"/Library/LaunchDaemons/com.vornhal.keelbrook.scheduler.plist",
         "/usr/lib/systemd/system/com.vornhal.keelbrook.scheduler.service"},
        {"/Library/LaunchDaemons/com.pellmoor.keelbrook.backup-auto.plist",
         "/etc/keelbrook/legacy/com.pellmoor.keelbrook.backup-auto.plist"},
        {"/Library/Logs/Keelbrook", "/var/log/keelbrook"},
        {"/Library/Logs/Keelbrook/scheduler.0.log", "/var/log/keelbrook/scheduler.0.log"},
        {"/Library/Preferences/com.apple.TimeMachine.plist",
         "/var/lib/keelbrook-engine/com.apple.TimeMachine.plist"},
        {"/Library/Preferences/com.vornhal.keelbrook.scheduler.plist",
         "/var/lib/keelbrook/preferences/com.vornhal.keelbrook.scheduler.plist"},
        {"/var/db/com.vornhal.authorization.plist", "/var/lib/keelbrook/authorization.plist"},
        {"/Applications/Keelbrook.app", "/usr/bin/keelbrook"},
        {"/usr/sbin/installer", "/usr/libexec/keelbrook/installer"},
        {"/usr/bin/log", "/usr/libexec/keelbrook/log"},
        {"/usr/bin/syslog", "/usr/libexec/keelbrook/syslog"},
        {"/usr/bin/tmutil", "/usr/bin/tmutil"},
        {"/var/run/keelbrook", "/run/keelbrook"},
        {"/var/run/keelbrook/simulated", "/run/keelbrook/simulated"},
        {"/var/run/other.pid", "/run/keelbrook/other.pid"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(paths::linuxLocation(c.product), c.location) << c.product;
    }
}

TEST(PathsTest, PathsWithoutARowAreUnchanged) {
    for (const char* path : {"/sys/class/net", "/proc", "/proc/stat", "/etc/localtime", "/bin/sh",
                             "/", "/Library", "/Library/Logs", "/var", "/var/runner"}) {
        EXPECT_EQ(paths::linuxLocation(path), path);
    }
}

TEST(PathsTest, RowsMatchWholeComponentsOnly) {
    EXPECT_EQ(paths::linuxLocation("/Library/KeelbrookX"), "/Library/KeelbrookX");
    EXPECT_EQ(paths::linuxLocation("/Library/KeelbrookX/Settings.plist"),
              "/Library/KeelbrookX/Settings.plist");
    EXPECT_EQ(paths::linuxLocation("/Library/Keelbrook/kbectl.old"),
              "/var/lib/keelbrook/kbectl.old");
    EXPECT_EQ(paths::linuxLocation("/usr/bin/logger"), "/usr/bin/logger");
    EXPECT_EQ(paths::linuxLocation("/Library/Preferences/com.apple.TimeMachine.plist.lock"),
              "/var/lib/keelbrook/preferences/com.apple.TimeMachine.plist.lock");
}

TEST(PathsTest, TheLongestRowWins) {
    // Each shorter row also covers these paths; the table's order must not decide.
    EXPECT_EQ(paths::linuxLocation("/Library/Keelbrook/kbectl/x"), "/usr/bin/kbectl/x");
    EXPECT_EQ(paths::linuxLocation("/var/run/keelbrook/x"), "/run/keelbrook/x");
    EXPECT_EQ(paths::linuxLocation("/var/run/x"), "/run/keelbrook/x");
    EXPECT_EQ(paths::linuxLocation("/Library/Preferences/com.apple.TimeMachine.plist"),
              "/var/lib/keelbrook-engine/com.apple.TimeMachine.plist");
}

TEST(PathsTest, TheRootGoesInFrontOfTheLocation) {
    EXPECT_EQ(paths::locate("/Library/Keelbrook/Settings.plist", "/tmp/kb"),
              "/tmp/kb/var/lib/keelbrook/Settings.plist");
    EXPECT_EQ(paths::locate("/proc/stat", "/tmp/kb"), "/tmp/kb/proc/stat");
    EXPECT_EQ(paths::locate("/Library/Logs/Keelbrook", ""), "/var/log/keelbrook");
    EXPECT_EQ(paths::locate("relative/file", "/tmp/kb"), "relative/file");
}

TEST(PathsTest, UserFoldersFollowTheXdgRules) {
    const auto defaults = paths::userFolders("/home/u/", nullptr, nullptr);
    EXPECT_EQ(defaults.home, "/home/u");
    EXPECT_EQ(defaults.stateHome, "/home/u/.local/state");
    EXPECT_EQ(defaults.configHome, "/home/u/.config");

    const auto absolute = paths::userFolders("/home/u", "/state", "/conf/");
    EXPECT_EQ(absolute.stateHome, "/state");
    EXPECT_EQ(absolute.configHome, "/conf/");

    // Relative and empty values are ignored.
    const auto relative = paths::userFolders("/home/u", "state", "");
    EXPECT_EQ(relative.stateHome, "/home/u/.local/state");
    EXPECT_EQ(relative.configHome, "/home/u/.config");
}

TEST(PathsTest, UserLocationsOfTheLogFolderAndThePreferences) {
    const auto folders = paths::userFolders("/home/u", "/state", nullptr);
    EXPECT_EQ(paths::userLocation("Library/Logs/Keelbrook", folders), "/state/keelbrook/log");
    EXPECT_EQ(paths::userLocation("Library/Logs/Keelbrook/ctl.log", folders),
              "/state/keelbrook/log/ctl.log");
    EXPECT_EQ(
        paths::userLocation("Library/Preferences/com.vornhal.keelbrook.application.plist", folders),
        "/home/u/.config/keelbrook/com.vornhal.keelbrook.application.plist");
    EXPECT_EQ(paths::userLocation("Library/Logs/KeelbrookX", folders),
              "/home/u/Library/Logs/KeelbrookX");
    EXPECT_EQ(paths::userLocation("Documents/a.txt", folders), "/home/u/Documents/a.txt");
    EXPECT_EQ(paths::userLocation("", folders), "/home/u");
}

TEST(PathsTest, HomePathReadsTheEnvironmentAndIgnoresTheRoot) {
    ScopedEnv root("KEELBROOK_ROOT", "/tmp/kbroot");
    ScopedEnv home("HOME", "/home/someone/");
    ScopedEnv state("XDG_STATE_HOME", "relative/state");
    ScopedEnv config("XDG_CONFIG_HOME", "/etc/xdg-someone");
    EXPECT_EQ(paths::homePath("Library/Logs/Keelbrook"),
              "/home/someone/.local/state/keelbrook/log");
    EXPECT_EQ(paths::homePath("Library/Preferences/d.plist"), "/etc/xdg-someone/keelbrook/d.plist");
}

} // namespace

// `log config` switches the product's debug lines on and off for programs started later.

#include "ToolRunner.h"

#include <gtest/gtest.h>

namespace {

using namespace logtooltest;

class ConfigTest : public testing::Test {
protected:
    Result config(const std::string& mode, bool unprivileged = false) {
        return install_.tool({"config", "--subsystem", "com.vornhal.keelbrook", "--mode", mode},
                             unprivileged);
    }
    Result probe() { return run(PROBE_PATH, {}, install_.scratch(), install_.options()); }
    fs::path settingFile() const {
        return install_.root() / "var/lib/keelbrook/logging/com.vornhal.keelbrook.plist";
    }
    std::string ctlLog() const { return readText(install_.systemLogFolder() / "ctl.log"); }

    Installation install_;
};

TEST_F(ConfigTest, OffKeepsDebugLinesOutOfTheJournalButInTheFile) {
    // No setting yet: debug lines go to the journal.
    EXPECT_EQ(probe().out, "7 probe debug\n5 probe default\n");

    const Result off = config("level:info,persist:default");
    ASSERT_EQ(off.status, 0) << off.err;
    EXPECT_EQ(off.out + off.err, "");
    EXPECT_EQ(probe().out, "5 probe default\n");
    EXPECT_NE(readText(settingFile()).find("<string>info</string>"), std::string::npos);

    ASSERT_EQ(config("level:debug,persist:info").status, 0);
    EXPECT_EQ(probe().out, "7 probe debug\n5 probe default\n");

    // The file got every line of the three runs.
    const std::string log = ctlLog();
    std::size_t debugLines = 0;
    for (std::size_t at = log.find("probe debug"); at != std::string::npos;
         at = log.find("probe debug", at + 1)) {
        ++debugLines;
    }
    EXPECT_EQ(debugLines, 3u);
}

TEST_F(ConfigTest, OnlyRootMayConfigure) {
    const Result refused = config("level:info,persist:default", true);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "log: config must be run as root.\n");
    EXPECT_FALSE(fs::exists(settingFile()));
}

TEST_F(ConfigTest, ASettingOthersCouldHaveWrittenIsNotBelieved) {
    ASSERT_EQ(config("level:info,persist:default").status, 0);
    fs::permissions(settingFile(), fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::add);
    EXPECT_EQ(probe().out, "7 probe debug\n5 probe default\n");
    fs::permissions(settingFile(), fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    ASSERT_EQ(chown(settingFile().c_str(), kUnusedId, kUnusedId), 0);
    EXPECT_EQ(probe().out, "7 probe debug\n5 probe default\n");
}

TEST_F(ConfigTest, MalformedRequestsAreRefused) {
    for (const char* mode : {"level:loud", "volume:debug", "level", ""}) {
        const Result result = config(mode);
        EXPECT_EQ(result.status, 64) << mode;
        EXPECT_NE(result.err.find("bad mode"), std::string::npos) << result.err;
    }
    const Result traversal =
        install_.tool({"config", "--subsystem", "../../etc/passwd", "--mode", "level:debug"});
    EXPECT_EQ(traversal.status, 64);
    EXPECT_EQ(install_.tool({"config", "--mode", "level:debug"}).status, 64);
    EXPECT_FALSE(fs::exists(settingFile().parent_path()));
}

} // namespace

// tmutil's verbs for the destination, the included folders, exclusions and settings.

#include "tests/engine/tmutil/EngineFixture.h"

#include <sys/stat.h>

namespace enginetest {
namespace {

mode_t modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

TEST_F(EngineTest, DestinationIsCreatedOrOpenedWithItsPassword) {
    const auto created = tmutil({"setdestination", repository_.string() + "/"});
    ASSERT_EQ(created.exitStatus, 0) << created.output;
    EXPECT_NE(created.output.find("Created a new repository"), std::string::npos);
    EXPECT_TRUE(fs::exists(repository_ / "config"));
    EXPECT_EQ(modeOf(engine::passwordFile()), 0600u);
    EXPECT_EQ(modeOf(engine::preferencesFile()), 0644u);
    // The password never goes into the preferences.
    const std::string password = readText(engine::passwordFile());
    EXPECT_EQ(readText(engine::preferencesFile()).find(password.substr(0, 16)), std::string::npos);

    engine::Preferences preferences;
    EXPECT_EQ(preferences.repository(), repository_.string());
    const auto id = preferences.lastDestinationID();
    ASSERT_TRUE(id);
    const auto info = tmutil({"destinationinfo"});
    EXPECT_NE(info.output.find("ID            : " + *id), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("Kind          : Local"), std::string::npos);

    // The existing repository again: the wrong password is refused and changes nothing,
    // the right one is accepted.
    const auto wrong = testsupport::runChild(
        {"/bin/sh", "-c",
         std::string("echo nope | ") + TMUTIL_PATH + " setdestination -p " + repository_.string()},
        testsupport::ChildProcess::Errors::WithOutput);
    EXPECT_EQ(wrong.exitStatus, 1);
    EXPECT_NE(wrong.output.find("password does not open"), std::string::npos) << wrong.output;
    EXPECT_EQ(readText(engine::passwordFile()), password);
    EXPECT_EQ(preferences.lastDestinationID(), id);

    const auto right =
        testsupport::runChild({"/bin/sh", "-c",
                               "cat '" + engine::passwordFile() + "' | " + TMUTIL_PATH +
                                   " setdestination -p " + repository_.string()},
                              testsupport::ChildProcess::Errors::WithOutput);
    EXPECT_EQ(right.exitStatus, 0) << right.output;
    EXPECT_EQ(right.output, "");
    EXPECT_NE(preferences.lastDestinationID(), id);
}

TEST_F(EngineTest, DestinationInsideAnIncludedFolderIsRefused) {
    ASSERT_EQ(tmutil({"addsource", data_.string()}).exitStatus, 0);
    const auto refused = tmutil({"setdestination", (data_ / "repo").string()});
    EXPECT_EQ(refused.exitStatus, 1);
    EXPECT_NE(refused.output.find("inside the included folder " + data_.string()),
              std::string::npos)
        << refused.output;
    EXPECT_FALSE(fs::exists(data_ / "repo"));
    EXPECT_FALSE(engine::Preferences().repository());

    // And the other way round: a folder holding the destination cannot be included.
    ASSERT_EQ(tmutil({"setdestination", repository_.string()}).exitStatus, 0);
    const auto holder = tmutil({"addsource", root_.path().string()});
    EXPECT_EQ(holder.exitStatus, 1);
    EXPECT_NE(holder.output.find("cannot be backed up into itself"), std::string::npos);
}

TEST_F(EngineTest, SourcesAndExclusions) {
    EXPECT_EQ(tmutil({"sources"}).output, "/home\n/etc\n");
    EXPECT_EQ(tmutil({"addsource", (root_.path() / "missing").string()}).exitStatus, 1);
    EXPECT_EQ(tmutil({"addsource", "relative/folder"}).exitStatus, 1);
    ASSERT_EQ(tmutil({"addsource", data_.string() + "/./"}).exitStatus, 0);
    ASSERT_EQ(tmutil({"addsource", data_.string()}).exitStatus, 0);
    ASSERT_EQ(tmutil({"removesource", "/etc"}).exitStatus, 0);
    EXPECT_EQ(tmutil({"sources"}).output, "/home\n" + data_.string() + "\n");
    const auto notThere = tmutil({"removesource", "/etc"});
    EXPECT_EQ(notThere.exitStatus, 1);
    EXPECT_EQ(notThere.output, "tmutil: /etc is not an included folder\n");

    const auto excluded = [&](const std::string& path) {
        return tmutil({"isexcluded", path}).output.starts_with("[Excluded]");
    };
    EXPECT_TRUE(excluded("/home/ann/.cache/thumbnails/x.png"));
    EXPECT_TRUE(excluded("/home/ann/.local/share/Trash/files/old"));
    EXPECT_TRUE(excluded("/home/.keelbrook-snapshots/2026-12-08-100000"));
    EXPECT_FALSE(excluded("/home/ann/Documents/cache.txt"));
    EXPECT_TRUE(excluded("/usr/bin/ls")) << "outside every included folder";

    ASSERT_EQ(tmutil({"addexclusion", "*.iso"}).exitStatus, 0);
    ASSERT_EQ(tmutil({"addexclusion", data_.string() + "/scratch"}).exitStatus, 0);
    EXPECT_TRUE(excluded("/home/ann/Downloads/debian.iso"));
    EXPECT_TRUE(excluded((data_ / "scratch/deep/file").string()));
    EXPECT_FALSE(excluded((data_ / "scratchpad").string()));
    ASSERT_EQ(tmutil({"removeexclusion", "*.iso"}).exitStatus, 0);
    EXPECT_FALSE(excluded("/home/ann/Downloads/debian.iso"));
    EXPECT_EQ(tmutil({"removeexclusion", "*.iso"}).exitStatus, 1);

    // Excluded files stay out of the backup.
    ASSERT_EQ(tmutil({"setdestination", repository_.string()}).exitStatus, 0);
    ASSERT_EQ(tmutil({"removesource", "/home"}).exitStatus, 0);
    writeRandomFile(data_ / "kept", 100);
    writeRandomFile(data_ / "scratch/dropped", 100);
    ASSERT_EQ(tmutil({"startbackup", "--block"}).exitStatus, 0) << workerLog();
    const auto files = restic({"ls", "latest"});
    EXPECT_NE(files.output.find(data_.string() + "/kept"), std::string::npos) << files.output;
    EXPECT_EQ(files.output.find("dropped"), std::string::npos) << files.output;
}

TEST_F(EngineTest, SettingsAndWrongUse) {
    engine::Preferences preferences;
    ASSERT_EQ(tmutil({"enable"}).exitStatus, 0);
    ASSERT_EQ(tmutil({"enablelocal"}).exitStatus, 0);
    EXPECT_TRUE(preferences.boolean(engine::kAutoBackupKey, false));
    EXPECT_TRUE(preferences.boolean(engine::kMobileBackupsKey, false));
    ASSERT_EQ(tmutil({"disable"}).exitStatus, 0);
    ASSERT_EQ(tmutil({"disablelocal"}).exitStatus, 0);
    EXPECT_FALSE(preferences.boolean(engine::kAutoBackupKey, true));
    EXPECT_FALSE(preferences.boolean(engine::kMobileBackupsKey, true));

    const auto help = tmutil({"-h"});
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_TRUE(help.output.starts_with("usage: tmutil"));
    for (const auto& wrong : std::vector<std::vector<std::string>>{
             {}, {"frobnicate"}, {"startbackup", "--now"}, {"addsource"}, {"enable", "x"}}) {
        std::vector<std::string> command = {TMUTIL_PATH};
        command.insert(command.end(), wrong.begin(), wrong.end());
        const auto run =
            testsupport::runChild(command, testsupport::ChildProcess::Errors::WithOutput);
        EXPECT_EQ(run.exitStatus, 64) << run.output;
        EXPECT_NE(run.output.find("usage: tmutil"), std::string::npos);
    }

    // Without a destination each verb that needs one says so.
    for (const char* verb : {"destinationinfo", "listbackups", "latestbackup"}) {
        const auto run = tmutil({verb});
        EXPECT_EQ(run.exitStatus, 1) << verb;
        EXPECT_EQ(run.output, "tmutil: no destination is set\n") << verb;
    }
    const auto backup = tmutil({"startbackup", "--block"});
    EXPECT_EQ(backup.exitStatus, 2);
    EXPECT_NE(workerLog().find("no destination is set"), std::string::npos);
    EXPECT_EQ(tmutil({"stopbackup"}).output, "No backup is running.\n");
}

TEST(ExclusionPatterns, MatchAsResticDoes) {
    EXPECT_TRUE(engine::excludedBy("/home/a/.cache", "/home/*/.cache"));
    EXPECT_TRUE(engine::excludedBy("/home/a/.cache/x/y", "/home/*/.cache"));
    EXPECT_FALSE(engine::excludedBy("/home/a/b/.cache", "/home/*/.cache"));
    EXPECT_FALSE(engine::excludedBy("/home/a/.cachex", "/home/*/.cache"));
    EXPECT_TRUE(engine::excludedBy("/srv/x/.keelbrook-snapshots/s", ".keelbrook-snapshots"));
    EXPECT_TRUE(engine::excludedBy("/srv/a.tmp", "*.tmp"));
    EXPECT_FALSE(engine::excludedBy("/srv/a.tmp.keep", "*.tmp"));
    EXPECT_FALSE(engine::excludedBy("/srv/a", ""));
}

} // namespace
} // namespace enginetest

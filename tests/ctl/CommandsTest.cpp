#include "common/VRNMessagerErrors.h"
#include "common/VRNUpdaterErrors.h"
#include "ctl/KBECtlOutput.h"
#include "platform/calendar/DateFormatter.h"
#include "tests/ctl/CtlTestSupport.h"
#include "tests/support/TempFolder.h"

#include <fstream>
#include <gmock/gmock.h>
#include <sstream>

namespace {

using namespace ctltest;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::Not;
using testsupport::TempFolder;

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

plist::Value payloadOf(const SentMessage& message) {
    EXPECT_TRUE(message.payload.has_value()) << "message " << message.number;
    return message.payload.value_or(plist::Value(plist::Dictionary{}));
}

// The texts of the service being away, as the messager reports them.
VRNError serviceUnavailable() {
    return VRNError(VRNMessagerErrorDomain, VRNMessagerErrorServiceUnavailable,
                    {{"service", plist::Value("com.vornhal.keelbrook.scheduler")}});
}

TEST_F(CtlTest, UsageShortAndFullAndTheRowsThatNeverShow) {
    const Result bare = run({});
    EXPECT_EQ(bare.status, 1);
    const Result full = run({"-d"});
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.out, readFile(USAGE_GOLDEN)) << "the full usage text changed";

    const Result unknown = run({"frobnicate"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.out, bare.out);

    for (const char* hiddenRow :
         {"updates mode", "updates feed", "log [--last", "debug-logs", "dry-run",
          "kbectl enable [features]", "kbectl disable", "set-settings", "set-interval",
          "set-when-inactive", "backups when-inactive"}) {
        EXPECT_THAT(bare.out, Not(HasSubstr(hiddenRow)));
        EXPECT_THAT(full.out, HasSubstr(hiddenRow));
    }
    EXPECT_THAT(full.out, Not(HasSubstr("_update")));
    EXPECT_THAT(full.out, Not(HasSubstr("_uninstall")));
    EXPECT_EQ(bare.out.rfind("usage: kbectl version", 0), 0u);
    EXPECT_TRUE(daemon.sent.empty());
}

TEST_F(CtlTest, RootChecksComeFromTheTableAndFromTheMessagesRights) {
    const Result uninstall = run({"uninstall"}, 501);
    EXPECT_EQ(uninstall.status, 1);
    EXPECT_EQ(uninstall.out, "This command requires root privileges.\n");

    // The first "settings" row needs no root; the install message does.
    TempFolder folder;
    const std::string file = (folder.path() / "s.plist").string();
    std::ofstream(file) << "<plist><dict/></plist>";
    const Result import = run({"settings", "import", file}, 501);
    EXPECT_EQ(import.status, 1);
    EXPECT_EQ(import.err, "This command requires root privileges.\n");
    EXPECT_EQ(import.out, "");
    EXPECT_TRUE(daemon.sent.empty());

    // Unguarded messages go out for anyone.
    EXPECT_EQ(run({"info"}, 501).status, 0);
    EXPECT_EQ(run({"backups", "kickstart"}, 501).status, 0);
    EXPECT_THAT(daemon.numbers(),
                ElementsAre(KBEHelperMessageGetActivityInformation, KBEHelperMessageBackUpNow));
}

TEST_F(CtlTest, YesNoRule) {
    for (const char* yes : {"yes", "Y", "true", "T", "1", "  +007", "-3", "9lives"}) {
        EXPECT_TRUE(KBECtlBoolValue(yes)) << yes;
    }
    for (const char* no : {"no", "0", "", "   ", "000", "false", "+", "n", "-0"}) {
        EXPECT_FALSE(KBECtlBoolValue(no)) << no;
    }
}

TEST_F(CtlTest, SetIntervalParsesCountAndUnit) {
    struct Case {
        const char* word;
        const char* key;
        std::int64_t count;
    };
    for (const Case& c :
         {Case{"90", "Minutes", 90}, Case{"2x", "Minutes", 2}, Case{"3w", "Weeks", 3},
          Case{"12h", "Hours", 12}, Case{"5d", "Days", 5}, Case{"7m", "Minutes", 7}}) {
        daemon.sent.clear();
        const Result r = run({"set-interval", c.word});
        EXPECT_EQ(r.status, 0) << c.word;
        ASSERT_EQ(daemon.sent.size(), 1u) << c.word;
        EXPECT_EQ(daemon.sent[0].number, KBEHelperMessageSetBackupsInterval);
        EXPECT_EQ(payloadOf(daemon.sent[0]),
                  plist::Value(plist::Dictionary{{c.key, plist::Value(c.count)}}))
            << c.word;
    }
    daemon.sent.clear();
    for (const char* rejected : {"0h", "h", "", "00"}) {
        const Result r = run({"backups", "interval", rejected});
        EXPECT_EQ(r.status, 1) << rejected;
        EXPECT_EQ(r.out, "Interval value must be equal or greater than one.\n");
    }
    EXPECT_TRUE(daemon.sent.empty());

    daemon.reply(KBEHelperMessageGetBackupsInterval, {{"Days", plist::Value(2)}});
    const Result shown = run({"set-interval"});
    EXPECT_EQ(shown.out, "{\n    Days = 2;\n}\n");
}

TEST_F(CtlTest, ModesAndChannelsAreCheckedBeforeSending) {
    const Result lower = run({"backups", "mode", "interval"});
    EXPECT_EQ(lower.status, 1);
    EXPECT_EQ(lower.out,
              "Mode must be either \"WhenInactive\", \"Interval\" or \"CalendarIntervals\".\n");
    EXPECT_EQ(run({"updates", "mode", "Beta"}).out, "Unknown mode: 'Beta'.\n");
    EXPECT_EQ(run({"updates", "set-feed", "nightly"}).out, "Unknown feed: 'nightly'.\n");
    EXPECT_TRUE(daemon.sent.empty());

    EXPECT_EQ(run({"backups", "mode", "CalendarIntervals"}).status, 0);
    EXPECT_EQ(run({"updates", "feed", "beta"}).status, 0);
    ASSERT_EQ(daemon.sent.size(), 2u);
    EXPECT_EQ(payloadOf(daemon.sent[0]),
              plist::Value(plist::Dictionary{{"Mode", plist::Value("CalendarIntervals")}}));
    EXPECT_EQ(daemon.sent[1].number, KBEHelperMessageSetUpdatesFeed);

    daemon.reply(KBEHelperMessageGetUpdatesMode, {{"Mode", plist::Value("test")}});
    EXPECT_EQ(run({"updates", "mode"}).out, "test\n");
    EXPECT_EQ(run({"backups", "when-inactive", "no"}).out, "Only accepted value is 'yes'\n");
    EXPECT_EQ(run({"backups", "when-inactive", "yes"}).status, 0);
    EXPECT_EQ(daemon.sent.back().number, KBEHelperMessageSetBackupsWhenInactive);
    EXPECT_EQ(run({"backups"}).status, 1);
    EXPECT_EQ(run({"snapshots", "on"}).status, 1);
}

TEST_F(CtlTest, EnableAndDisableFeatures) {
    const Result bad = run({"enable", "backups", "toasters"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out, "Unknown option: 'toasters'.\n");
    EXPECT_TRUE(daemon.sent.empty());

    daemon.reply(KBEHelperMessageGetSettings,
                 {{"Backups", plist::Value(false)}, {"Interval", plist::Value(60)}});
    EXPECT_EQ(run({"enable", "backups", "updates", "backups"}).status, 0);
    EXPECT_THAT(daemon.numbers(),
                ElementsAre(KBEHelperMessageGetSettings, KBEHelperMessageInstallSettings,
                            KBEHelperMessageSetUpdatesEnabled));
    EXPECT_EQ(payloadOf(daemon.sent[1]),
              plist::Value(plist::Dictionary{{"Backups", plist::Value(true)},
                                             {"Interval", plist::Value(60)}}));
    EXPECT_EQ(payloadOf(daemon.sent[2]),
              plist::Value(plist::Dictionary{{"Enabled", plist::Value(true)}}));

    daemon.sent.clear();
    EXPECT_EQ(run({"disable"}).status, 0);
    EXPECT_THAT(daemon.numbers(), ElementsAre(KBEHelperMessageDisableScheduler));

    // The settings change failing stops before updates.
    daemon.sent.clear();
    daemon.fail(KBEHelperMessageGetSettings, serviceUnavailable());
    EXPECT_EQ(run({"disable", "snapshots", "updates"}).status, 1);
    EXPECT_THAT(daemon.numbers(), ElementsAre(KBEHelperMessageGetSettings));
}

TEST_F(CtlTest, StatusSettingsAndEnabledFromTheSettingsDictionary) {
    const plist::Dictionary settings{{"Backups", plist::Value(true)},
                                     {"Disabled", plist::Value(true)},
                                     {"Name", plist::Value("two words")}};
    daemon.reply(KBEHelperMessageGetSettings, settings);
    EXPECT_EQ(
        run({"status"}).out,
        "{\n    Backups = enabled;\n    MasterSwitch = disabled;\n    Snapshots = disabled;\n}\n");
    daemon.reply(KBEHelperMessageGetSettings, settings);
    EXPECT_EQ(run({"settings"}).out,
              "{\n    Backups = 1;\n    Disabled = 1;\n    Name = \"two words\";\n}\n");
    daemon.reply(KBEHelperMessageGetSettings, settings);
    const std::string json = run({"settings", "-j"}).out;
    EXPECT_EQ(json.back(), '}') << "raw, no newline added";
    EXPECT_THAT(json, HasSubstr("\"two words\""));
    daemon.reply(KBEHelperMessageGetSettings, settings);
    EXPECT_THAT(run({"status", "-x"}).out, HasSubstr("<key>MasterSwitch</key>"));

    daemon.reply(KBEHelperMessageGetSettings, settings);
    EXPECT_EQ(run({"enabled"}).out, "no\n");
    daemon.reply(KBEHelperMessageGetSettings, settings);
    EXPECT_EQ(run({"enabled", "yes"}).status, 0);
    const plist::Value installed = payloadOf(daemon.sent.back());
    EXPECT_TRUE(installed.find("Disabled")->isIdenticalTo(plist::Value(0)));
}

TEST_F(CtlTest, AnAbsentDaemonPrintsTheMessagersTextAndOnlyStatusAndSettingsSucceed) {
    for (const char* command : {"status", "settings", "info", "enabled", "dry-run"}) {
        daemon.fail(KBEHelperMessageGetSettings, serviceUnavailable());
        daemon.fail(KBEHelperMessageGetActivityInformation, serviceUnavailable());
        daemon.fail(KBEHelperMessageGetDryRun, serviceUnavailable());
        const Result r = run({command});
        const bool succeeds =
            std::string_view(command) == "status" || std::string_view(command) == "settings";
        EXPECT_EQ(r.status, succeeds ? 0 : 1) << command;
        // Not an error-level text: it goes to standard output.
        EXPECT_EQ(r.out, VRNError::localizedDescriptionForError(serviceUnavailable()) + "\n")
            << command;
        EXPECT_EQ(r.err, "") << command;
    }
}

TEST_F(CtlTest, InfoPrintsEachActivity) {
    // 2026-12-08 10:00 and 11:00 UTC, in seconds since the reference date.
    const plist::Date ten{818416800}, eleven{818420400};
    daemon.reply(KBEHelperMessageGetActivityInformation,
                 {{"backups", plist::Value(plist::Dictionary{{"LastRun", plist::Value(ten)},
                                                             {"LastTry", plist::Value(eleven)},
                                                             {"Running", plist::Value(true)},
                                                             {"NextRun", plist::Value(eleven)}})},
                  {"snapshots",
                   plist::Value(plist::Dictionary{{"LastRun", plist::Value(eleven)},
                                                  {"LastTry", plist::Value(ten)},
                                                  {"DeferReason", plist::Value("on battery")}})},
                  {"updates", plist::Value(plist::Dictionary{{"LastTry", plist::Value(ten)},
                                                             {"NextRun", plist::Value(eleven)}})}});
    const Result r = run({"info"});
    EXPECT_EQ(r.status, 0);
    const std::string t10 = cal::shortDateShortTimeText(ten.secondsSinceReferenceDate);
    const std::string t11 = cal::shortDateShortTimeText(eleven.secondsSinceReferenceDate);
    EXPECT_EQ(r.out, "> Backups\nLast run: " + t10 + "\nLast try: " + t11 +
                         "\n\nRunning now.\n"
                         "\n> Snapshots\nLast run: " +
                         t11 +
                         "\n\nDeferred: on battery.\n"
                         "\n> Updater\nLast try: " +
                         t10 + "\nNext run: " + t11 + "\n");
}

TEST_F(CtlTest, SetSettingsReadsTheFileAndSendsItUnchanged) {
    EXPECT_EQ(run({"set-settings"}).out, "Path must be specified to settings file.\n");
    TempFolder folder;
    const std::string missing = (folder.path() / "none.plist").string();
    EXPECT_EQ(run({"set-settings", missing}).out, "File does not exist at path: " + missing + "\n");
    const std::string garbage = (folder.path() / "garbage.plist").string();
    std::ofstream(garbage) << "<plist><dict><key>x</key></dict>";
    const Result bad = run({"set-settings", garbage});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out.rfind("Failed to deserialize file: ", 0), 0u) << bad.out;
    const std::string folderPath = folder.path().string();
    EXPECT_EQ(run({"set-settings", folderPath}).out.rfind("Failed to read file: ", 0), 0u);
    EXPECT_TRUE(daemon.sent.empty());

    const std::string good = (folder.path() / "good.plist").string();
    std::ofstream(good) << "<plist><dict><key>Interval</key><integer>3600</integer></dict></plist>";
    // "." and ".." segments are removed before the file is looked up.
    const std::string roundabout = folderPath + "/./sub/../good.plist";
    EXPECT_EQ(run({"settings", "import", roundabout}).status, 0);
    ASSERT_EQ(daemon.sent.size(), 1u);
    EXPECT_EQ(payloadOf(daemon.sent[0]),
              plist::Value(plist::Dictionary{{"Interval", plist::Value(3600)}}));
}

TEST_F(CtlTest, UpdateCheckAsksAndInstalls) {
    const plist::Dictionary offer{{"HumanVersion", plist::Value("1.2")},
                                  {"Version", plist::Value(10200)}};
    daemon.reply(KBEHelperMessageCheckForUpdate, offer);
    const Result yes = run({"updates", "check"}, 0, "\ny\n");
    EXPECT_EQ(yes.status, 0);
    EXPECT_EQ(yes.out, "Keelbrook 1.2 (10200) is available. Would you like to update now? (y/n)\n"
                       "Keelbrook has been updated.\n");
    EXPECT_THAT(daemon.numbers(),
                ElementsAre(KBEHelperMessageCheckForUpdate, KBEHelperMessageInstallUpdate));

    daemon.sent.clear();
    daemon.reply(KBEHelperMessageCheckForUpdate, offer);
    EXPECT_EQ(run({"updates", "check"}, 0, "n\n").status, 0);
    daemon.reply(KBEHelperMessageCheckForUpdate, offer);
    EXPECT_EQ(run({"updates", "check"}, 0, "\n").status, 1) << "end of input";
    EXPECT_THAT(daemon.numbers(),
                ElementsAre(KBEHelperMessageCheckForUpdate, KBEHelperMessageCheckForUpdate));

    // The daemon replaced mid-request counts as done; another failure does not.
    daemon.reply(KBEHelperMessageCheckForUpdate, offer);
    daemon.fail(KBEHelperMessageInstallUpdate,
                VRNError(VRNMessagerErrorDomain, VRNMessagerErrorServiceDisappeared,
                         {{"service", plist::Value("com.vornhal.keelbrook.scheduler")}}));
    const Result replaced = run({"updates", "check", "-i"});
    EXPECT_EQ(replaced.status, 0);
    EXPECT_EQ(replaced.out, "Keelbrook 1.2 (10200) is available. Updating now...\n"
                            "Keelbrook has been updated.\n");
    daemon.reply(KBEHelperMessageCheckForUpdate, offer);
    const VRNError installFailed(VRNUpdaterErrorDomain, 7);
    daemon.fail(KBEHelperMessageInstallUpdate, installFailed);
    const Result failed = run({"updates", "check", "-i"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.err, VRNError::localizedDescriptionForError(installFailed) + "\n");

    daemon.fail(KBEHelperMessageCheckForUpdate, VRNError(VRNUpdaterErrorDomain, 0));
    const Result latest = run({"updates", "check"});
    EXPECT_EQ(latest.status, 0);
    EXPECT_EQ(latest.out, "You are already running the latest version.\n");
}

} // namespace

#include "common/KBEErrors.h"
#include "tests/scheduler/daemon/SettingsTestSupport.h"
#include "tests/support/TestDates.h"

#include <gmock/gmock.h>

namespace {

using namespace settingstest;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;

// The defaults as written down here, independently of the code under test.
Dictionary expectedDefaults(bool dontRunWhenPassive = false) {
    return {
        {"Backups", false},
        {"Snapshots", false},
        {"AllowBattery", false},
        {"DontRunWhenPassive", dontRunWhenPassive},
        {"DontRunWithSleepPreventers", false},
        {"DontRunWhenNotNetworkWired", false},
        {"Suspend", false},
        {"SuspendSettings",
         Dictionary{{"StartHour", 23}, {"StartMinute", 0}, {"EndHour", 8}, {"EndMinute", 0}}},
        {"BackupsMode", "WhenInactive"},
        {"WhenInactive", Dictionary{}},
        {"Interval", Dictionary{{"Hours", 1}}},
        {"CalendarIntervals",
         Dictionary{{"Intervals", Array{Dictionary{{"Hour", 12}, {"Minute", 0}}}},
                    {"ASAP", false}}},
    };
}

// The defaults with `changes` laid over them.
Value defaultsWith(const Dictionary& changes) {
    Dictionary result = expectedDefaults();
    for (const auto& [key, value] : changes) {
        result.insert_or_assign(key, value);
    }
    return Value(result);
}

const Dictionary noon{{"Hour", 12}, {"Minute", 0}};

struct UpgradeCase {
    const char* name;
    Dictionary old;
    Dictionary expected; // over the defaults
};

// Old dictionaries and what they become, worked out by hand.
const UpgradeCase upgrades[] = {
    {"two hours in seconds",
     {{"Interval", 7200}},
     {{"Backups", true},
      {"Snapshots", true},
      {"BackupsMode", "Interval"},
      {"Interval", Dictionary{{"Hours", 2}}}}},
    {"two days in seconds",
     {{"Interval", 172800}},
     {{"Backups", true},
      {"Snapshots", true},
      {"BackupsMode", "Interval"},
      {"Interval", Dictionary{{"Days", 2}}}}},
    {"ninety minutes",
     {{"Interval", 5400}},
     {{"Backups", true},
      {"Snapshots", true},
      {"BackupsMode", "Interval"},
      {"Interval", Dictionary{{"Hours", 1}}}}},
    {"zero seconds",
     {{"Interval", 0}},
     {{"Backups", true},
      {"Snapshots", true},
      {"BackupsMode", "Interval"},
      {"Interval", Dictionary{{"Days", 0}}}}},
    {"half an hour",
     {{"Interval", 1800}},
     {{"Backups", true},
      {"Snapshots", true},
      {"BackupsMode", "Interval"},
      {"Interval", Dictionary{{"Hours", 0}}}}},
    {"a real number of seconds, truncated",
     {{"Interval", 90000.9}},
     {{"Backups", true},
      {"Snapshots", true},
      {"BackupsMode", "Interval"},
      {"Interval", Dictionary{{"Hours", 25}}}}},
    {"no calendar times",
     {{"CalendarIntervals", Array{}}},
     {{"Backups", true},
      {"Snapshots", true},
      {"BackupsMode", "CalendarIntervals"},
      {"CalendarIntervals", Dictionary{{"Intervals", Array{noon}}, {"ASAP", false}}}}},
    {"when inactive and calendar times: the later mode wins",
     {{"WhenInactive", true},
      {"CalendarIntervals", Array{Dictionary{{"Hour", 3}, {"Minute", 30}}}},
      {"BackupASAP", true}},
     {{"Backups", true},
      {"Snapshots", true},
      {"BackupsMode", "CalendarIntervals"},
      {"WhenInactive", Dictionary{}},
      {"CalendarIntervals",
       Dictionary{{"Intervals", Array{Dictionary{{"Hour", 3}, {"Minute", 30}}}}, {"ASAP", true}}}}},
    {"backups off stay off, and snapshots follow",
     {{"Backups", false}, {"Interval", 3600}},
     {{"Backups", false},
      {"Snapshots", false},
      {"BackupsMode", "Interval"},
      {"Interval", Dictionary{{"Hours", 1}}}}},
    {"interval components override the seconds",
     {{"IntervalComponents", Dictionary{{"Minutes", 30}}}, {"Interval", 7200}},
     {{"Backups", true},
      {"Snapshots", true},
      {"BackupsMode", "Interval"},
      {"Interval", Dictionary{{"Minutes", 30}}}}},
    {"when inactive alone",
     {{"WhenInactive", true}, {"Snapshots", false}},
     {{"Backups", true}, {"Snapshots", false}, {"BackupsMode", "WhenInactive"}}},
    {"a suspension window",
     {{"Suspend",
       Dictionary{{"StartHour", 1}, {"StartMinute", 2}, {"EndHour", 3}, {"EndMinute", 4}}}},
     {{"Suspend", true},
      {"SuspendSettings",
       Dictionary{{"StartHour", 1}, {"StartMinute", 2}, {"EndHour", 3}, {"EndMinute", 4}}}}},
    {"a mode already chosen is kept",
     {{"BackupsMode", "Interval"}, {"WhenInactive", true}},
     {{"Backups", true}, {"Snapshots", true}, {"BackupsMode", "Interval"}}},
    {"nothing at all", {}, {}},
    {"the current shape, with a key of its own",
     {{"Backups", true},
      {"BackupsMode", "CalendarIntervals"},
      {"Extra", "kept"},
      {"CalendarIntervals", Dictionary{{"Intervals", Array{}}, {"ASAP", true}}}},
     {{"Backups", true},
      {"Snapshots", true}, // follows Backups: a calendar key is present
      {"BackupsMode", "CalendarIntervals"},
      {"Extra", "kept"},
      {"CalendarIntervals", Dictionary{{"Intervals", Array{}}, {"ASAP", true}}}}},
};

TEST_F(SettingsTest, DefaultsAreTheTwelveKeysWithPassiveFromTheDefaultsDomain) {
    EXPECT_EQ(Value(settings->defaultSettings()), Value(expectedDefaults()));
    EXPECT_FALSE(settings->defaultSettings().contains("Disabled"));
    ASSERT_TRUE(defaults->setValue("TreatPassiveActivityAsActive", true));
    EXPECT_EQ(Value(settings->defaultSettings()), Value(expectedDefaults(true)));
    EXPECT_EQ(Value(settings->upgradedSettings({})), Value(expectedDefaults(true)));

    // The defaults are themselves valid settings, from a client too.
    const Dictionary made = settings->defaultSettings();
    EXPECT_TRUE(KBEHelperSettings::validateSettings(&made, false, nullptr));
}

TEST_F(SettingsTest, UpgradesMatchTheWorkedOutTableAndAreIdempotent) {
    for (const UpgradeCase& c : upgrades) {
        const Dictionary once = settings->upgradedSettings(c.old);
        EXPECT_EQ(Value(once), defaultsWith(c.expected)) << c.name;
        EXPECT_FALSE(once.contains("IntervalComponents")) << c.name;
        EXPECT_FALSE(once.contains("BackupASAP")) << c.name;
        EXPECT_TRUE(Value(settings->upgradedSettings(once)).isIdenticalTo(Value(once))) << c.name;
        EXPECT_TRUE(KBEHelperSettings::validateSettings(&once, true, nullptr)) << c.name;
    }
}

TEST_F(SettingsTest, AnOldFileLoadsUpgradedAndIsNotRewritten) {
    putFile(Dictionary{{"Interval", 7200}});
    const std::string before = fileBytes();
    EXPECT_EQ(Value(settings->loadSettings()),
              defaultsWith({{"Backups", true},
                            {"Snapshots", true},
                            {"BackupsMode", "Interval"},
                            {"Interval", Dictionary{{"Hours", 2}}}}));
    EXPECT_EQ(fileBytes(), before);
    EXPECT_THAT(logged(), IsEmpty());
}

TEST_F(SettingsTest, AMissingFileGivesTheDefaultsSilentlyAndStaysMissing) {
    settings->start();
    EXPECT_EQ(Value(settings->settings()), Value(expectedDefaults()));
    EXPECT_THAT(logged(), IsEmpty());
    EXPECT_FALSE(fs::exists(file()));
}

TEST_F(SettingsTest, UnreadableOrInvalidFilesGiveTheDefaultsWithOneErrorLine) {
    putBytes("bplist00 is not enough");
    EXPECT_EQ(Value(settings->loadSettings()), Value(expectedDefaults()));
    auto lines = logged();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_THAT(lines[0], HasSubstr("Failed to read settings. The settings file " +
                                    file().string() + " is not a valid property list"));

    putFile(Array{Value(1)});
    EXPECT_EQ(Value(settings->loadSettings()), Value(expectedDefaults()));
    EXPECT_THAT(logged(), ElementsAre("Failed to read settings. The settings file " +
                                      file().string() + " does not hold a dictionary."));

    Dictionary wrong = clientSettings();
    wrong.insert_or_assign("Backups", "yes");
    putFile(wrong);
    EXPECT_EQ(Value(settings->loadSettings()), Value(expectedDefaults()));
    lines = logged();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Failed to validate settings. Wrong type for key: 'Backups', "
                            "expected: 'NSNumber'.");
    EXPECT_TRUE(fs::exists(file())); // stays until the next install replaces it
}

TEST_F(SettingsTest, AnExtraKeyLoadsFromDiskButIsRefusedFromAClient) {
    Dictionary extra = clientSettings();
    extra.insert_or_assign("Comment", "written by hand");
    putFile(extra);
    const std::string before = fileBytes();
    settings->start();
    EXPECT_EQ(settings->settings().at("Comment"), Value("written by hand"));

    Dictionary other = extra;
    other.insert_or_assign("Backups", false);
    VRNError error("none", 0);
    EXPECT_FALSE(settings->installSettings(other, true, &error));
    EXPECT_EQ(error.code(), KBEErrorUnknownKey);
    EXPECT_EQ(error.userInfo().at("key"), Value("Comment"));
    EXPECT_THAT(delegate.calls, IsEmpty());
    EXPECT_EQ(Value(settings->settings()), Value(extra));
    EXPECT_EQ(fileBytes(), before);
}

TEST_F(SettingsTest, InstallingWritesLogsAndAppliesInOrder) {
    setNowTo(testsupport::utc(2026, 12, 8, 9, 30));
    const Dictionary installed = clientSettings();
    ASSERT_TRUE(settings->installSettings(installed, true, nullptr));

    EXPECT_EQ(Value(settings->settings()), Value(installed));
    EXPECT_THAT(delegate.calls,
                ElementsAre("setSubmittedDate", "applySettings", "disableSystemScheduler"));
    EXPECT_THAT(delegate.submitted, ElementsAre(testsupport::utc(2026, 12, 8, 9, 30)));
    EXPECT_THAT(logged(),
                ElementsAre("Installed settings: " + plist::description(Value(installed))));

    const std::string bytes = fileBytes();
    EXPECT_EQ(bytes.rfind("bplist00", 0), 0u);
    EXPECT_EQ(fs::status(file()).permissions(), fs::perms(0644));
    EXPECT_EQ(Value(*settings->readSettingsWithError(nullptr)), Value(installed));
}

TEST_F(SettingsTest, TheSystemSchedulerIsTurnedOffOnlyWhenSomethingIsScheduled) {
    struct Row {
        std::optional<bool> disabled;
        bool backups, snapshots, turnsOff;
    };
    const Row rows[] = {
        {std::nullopt, true, false, true}, {false, false, true, true},
        {true, true, true, false},         {std::nullopt, false, false, false},
        {false, false, false, false},
    };
    for (const Row& row : rows) {
        Dictionary s = clientSettings();
        s.erase("Disabled");
        if (row.disabled) {
            s.insert_or_assign("Disabled", *row.disabled);
        }
        s.insert_or_assign("Backups", row.backups);
        s.insert_or_assign("Snapshots", row.snapshots);
        delegate.calls.clear();
        ASSERT_TRUE(settings->installSettings(s, false, nullptr));
        const auto expected =
            row.turnsOff ? std::vector<std::string>{"applySettings", "disableSystemScheduler"}
                         : std::vector<std::string>{"applySettings"};
        EXPECT_EQ(delegate.calls, expected)
            << row.disabled.value_or(false) << row.backups << row.snapshots;
    }
    EXPECT_THAT(delegate.submitted, IsEmpty()); // never reset here
}

TEST_F(SettingsTest, AnInvalidInstallChangesNothing) {
    ASSERT_TRUE(settings->installSettings(clientSettings(), false, nullptr));
    const std::string before = fileBytes();
    delegate.calls.clear();
    logged();

    Dictionary bad = clientSettings();
    bad.erase("Suspend");
    bad.insert_or_assign("Snapshots", true);
    VRNError error("none", 0);
    EXPECT_FALSE(settings->installSettings(bad, true, &error));
    EXPECT_EQ(error.code(), KBEErrorMissingValue);
    EXPECT_EQ(error.userInfo().at("key"), Value("Suspend"));
    EXPECT_EQ(Value(settings->settings()), Value(clientSettings()));
    EXPECT_EQ(fileBytes(), before);
    EXPECT_THAT(delegate.calls, IsEmpty());
}

TEST_F(SettingsTest, AFailedWriteIsLoggedAndTheInstallStillApplies) {
    // The settings folder's place is taken by a file, so it cannot be created.
    fs::create_directories(file().parent_path().parent_path());
    std::ofstream(file().parent_path()) << "in the way";

    VRNError error("none", 0);
    EXPECT_FALSE(settings->writeSettings(clientSettings(), &error));
    EXPECT_EQ(error.domain(), KBEFileErrorDomain);
    auto lines = logged();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_THAT(lines[0], HasSubstr("Failed to write settings. Could not create the folder " +
                                    file().parent_path().string()));

    ASSERT_TRUE(settings->installSettings(clientSettings(), false, nullptr));
    EXPECT_EQ(Value(settings->settings()), Value(clientSettings()));
    EXPECT_THAT(delegate.calls, ElementsAre("applySettings", "disableSystemScheduler"));
    lines = logged();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_THAT(lines[0], HasSubstr("Failed to write settings."));
    EXPECT_THAT(lines[1], HasSubstr("Installed settings: "));
}

} // namespace

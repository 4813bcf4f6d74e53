#include "common/KBEErrors.h"
#include "tests/scheduler/daemon/SettingsTestSupport.h"

#include <gmock/gmock.h>

namespace {

using namespace settingstest;
using testing::Contains;
using testing::HasSubstr;
using testing::IsEmpty;

// The outcome a check must have: passing, or failing with this code and user info.
struct Outcome {
    Outcome(long code = -1, std::string key = {}, std::string expected = {})
        : code(code), key(std::move(key)), expected(std::move(expected)) {}
    long code; // -1: passes
    std::string key;
    std::string expected; // code 4 only
};
const Outcome passes{};

struct Case {
    const char* name;
    void (*change)(Dictionary&);
    Outcome fromClient; // unknown keys refused
    Outcome fromDisk;   // unknown keys ignored
};

Dictionary& at(Dictionary& d, const char* key) {
    return d.at(key).mutableDictionary();
}
Array& intervals(Dictionary& d) {
    return at(d, "CalendarIntervals").at("Intervals").mutableArray();
}

const Case cases[] = {
    {"the complete dictionary", [](Dictionary&) {}, passes, passes},
    {"no Disabled", [](Dictionary& d) { d.erase("Disabled"); }, passes, passes},
    {"Backups an integer", [](Dictionary& d) { d.insert_or_assign("Backups", 1); }, passes, passes},
    {"Backups a string",
     [](Dictionary& d) { d.insert_or_assign("Backups", "yes"); },
     {KBEErrorWrongType, "Backups", "NSNumber"},
     {KBEErrorWrongType, "Backups", "NSNumber"}},
    {"Snapshots missing",
     [](Dictionary& d) { d.erase("Snapshots"); },
     {KBEErrorMissingValue, "Snapshots"},
     {KBEErrorMissingValue, "Snapshots"}},
    {"a key inside WhenInactive",
     [](Dictionary& d) { at(d, "WhenInactive").insert_or_assign("Delay", 5); },
     {KBEErrorUnknownKey, "Delay"},
     passes},
    {"an extra top-level key besides a missing one",
     [](Dictionary& d) {
         d.erase("Backups");
         d.insert_or_assign("Unexpected", 1);
     },
     {KBEErrorUnknownKey, "Unexpected"},
     {KBEErrorMissingValue, "Backups"}},
    {"an extra key inside Interval",
     [](Dictionary& d) { at(d, "Interval").insert_or_assign("Months", 1); },
     {KBEErrorUnknownKey, "Months"},
     passes},
    {"Interval empty", [](Dictionary& d) { d.insert_or_assign("Interval", Dictionary{}); }, passes,
     passes},
    {"CalendarIntervals without ASAP",
     [](Dictionary& d) { at(d, "CalendarIntervals").erase("ASAP"); },
     {KBEErrorMissingValue, "ASAP"},
     {KBEErrorMissingValue, "ASAP"}},
    {"Intervals empty", [](Dictionary& d) { intervals(d).clear(); }, passes, passes},
    {"an interval with a string Weekday",
     [](Dictionary& d) {
         intervals(d)[1].mutableDictionary().insert_or_assign("Weekday", "Friday");
     },
     {KBEErrorWrongType, "Weekday", "NSNumber"},
     {KBEErrorWrongType, "Weekday", "NSNumber"}},
    {"the second interval without Hour",
     [](Dictionary& d) { intervals(d)[1].mutableDictionary().erase("Hour"); },
     {KBEErrorMissingValue, "Hour"},
     {KBEErrorMissingValue, "Hour"}},
    {"an interval that is no dictionary",
     [](Dictionary& d) { intervals(d).push_back(12); },
     {KBEErrorWrongType, "Intervals", "NSDictionary"},
     {KBEErrorWrongType, "Intervals", "NSDictionary"}},
    {"Intervals a dictionary",
     [](Dictionary& d) { at(d, "CalendarIntervals").insert_or_assign("Intervals", Dictionary{}); },
     {KBEErrorWrongType, "Intervals", "NSArray"},
     {KBEErrorWrongType, "Intervals", "NSArray"}},
    {"SuspendSettings an array",
     [](Dictionary& d) { d.insert_or_assign("SuspendSettings", Array{}); },
     {KBEErrorWrongType, "SuspendSettings", "NSDictionary"},
     {KBEErrorWrongType, "SuspendSettings", "NSDictionary"}},
    {"BackupsMode a number",
     [](Dictionary& d) { d.insert_or_assign("BackupsMode", 1); },
     {KBEErrorWrongType, "BackupsMode", "NSString"},
     {KBEErrorWrongType, "BackupsMode", "NSString"}},
    // Values are not range-checked here.
    {"an hour of 99",
     [](Dictionary& d) { at(d, "SuspendSettings").insert_or_assign("StartHour", 99); }, passes,
     passes},
    // Of several faults the first in ascending key order is reported.
    {"several faults",
     [](Dictionary& d) {
         d.insert_or_assign("Suspend", "no");
         d.erase("Snapshots");
         d.insert_or_assign("AllowBattery", Array{});
     },
     {KBEErrorWrongType, "AllowBattery", "NSNumber"},
     {KBEErrorWrongType, "AllowBattery", "NSNumber"}},
};

class SettingsSchemaTest : public SettingsTest {};

void expectOutcome(const Dictionary& settings, bool ignoreUnknownKeys, const Outcome& expected,
                   const std::string& label) {
    VRNError error("none", 0);
    const bool valid = KBEHelperSettings::validateSettings(&settings, ignoreUnknownKeys, &error);
    if (expected.code < 0) {
        EXPECT_TRUE(valid) << label << ": " << error.description();
        return;
    }
    ASSERT_FALSE(valid) << label;
    EXPECT_EQ(error.domain(), "com.vornhal.keelbrook") << label;
    EXPECT_EQ(error.code(), expected.code) << label;
    Dictionary info{{"key", expected.key}};
    if (!expected.expected.empty()) {
        info.emplace("expected", expected.expected);
    }
    EXPECT_EQ(Value(error.userInfo()), Value(info)) << label;
}

TEST_F(SettingsSchemaTest, EachCaseFromAClientAndFromDisk) {
    for (const Case& c : cases) {
        Dictionary settings = clientSettings();
        c.change(settings);
        const Dictionary before = settings;
        expectOutcome(settings, false, c.fromClient, std::string(c.name) + " (client)");
        expectOutcome(settings, true, c.fromDisk, std::string(c.name) + " (disk)");
        EXPECT_EQ(Value(settings), Value(before)) << c.name;
        // Without an error out-argument the result is the same.
        EXPECT_EQ(KBEHelperSettings::validateSettings(&settings, false, nullptr),
                  c.fromClient.code < 0)
            << c.name;
    }
}

TEST_F(SettingsSchemaTest, ANullDictionaryIsMissingAtTheRoot) {
    VRNError error("none", 0);
    ASSERT_FALSE(KBEHelperSettings::validateSettings(nullptr, true, &error));
    EXPECT_EQ(error.code(), KBEErrorMissingValue);
    EXPECT_EQ(VRNError::localizedDescriptionForError(error), "Missing value for key: 'root'.");
}

TEST_F(SettingsSchemaTest, AFailureIsLoggedOnceWithItsTextAndNotAtAllWithoutAnErrorArgument) {
    Dictionary settings = clientSettings();
    settings.insert_or_assign("Backups", "yes");
    VRNError error("none", 0);
    ASSERT_FALSE(KBEHelperSettings::validateSettings(&settings, false, &error));
    EXPECT_EQ(VRNError::localizedDescriptionForError(error),
              "Wrong type for key: 'Backups', expected: 'NSNumber'.");
    EXPECT_THAT(logged(), Contains(HasSubstr("Wrong type for key: 'Backups'")));

    ASSERT_FALSE(KBEHelperSettings::validateSettings(&settings, false, nullptr));
    EXPECT_THAT(logged(), IsEmpty());
}

} // namespace

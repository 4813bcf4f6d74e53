#include "common/VRNDateComponents.h"
#include "scheduler/daemon/KBEHelperSchedule.h"

#include <gmock/gmock.h>

namespace {

using testing::ElementsAre;
using testing::IsEmpty;

using Dict = plist::Dictionary;
using V = plist::Value;

const VRNSystemVersionManager kCurrent(VRNOperatingSystemVersion{10, 15, 7});
const VRNSystemVersionManager kMojaveBefore(VRNOperatingSystemVersion{10, 13, 6});

bool infiniteLeeway(const VRNActivityCriteria& criteria) {
    const auto leeway = criteria.leeway();
    return leeway && leeway->type() == VRNActivityLeeway::Infinite;
}

cal::DateComponents at(long hour, long minute) {
    cal::DateComponents c;
    c.hour = hour;
    c.minute = minute;
    return c;
}

Dict withInterval(Dict interval, bool snapshots = false, bool suspend = false) {
    return {{"Backups", V(true)},
            {"Snapshots", V(snapshots)},
            {"BackupsMode", V("Interval")},
            {"Interval", V(std::move(interval))},
            {"Suspend", V(suspend)},
            {"SuspendSettings", V(Dict{{"StartHour", V(23)},
                                       {"StartMinute", V(0)},
                                       {"EndHour", V(8)},
                                       {"EndMinute", V(0)}})}};
}

TEST(ScheduleTest, DisabledStopsBothWhateverTheyAsk) {
    Dict settings = withInterval({{"Hours", V(2)}}, true);
    settings.insert_or_assign("Disabled", V(true));
    const auto schedule = KBEHelperSchedule::forSettings(settings, kCurrent);
    EXPECT_TRUE(schedule.disabled);
    EXPECT_FALSE(schedule.backups);
    EXPECT_FALSE(schedule.snapshots);
}

TEST(ScheduleTest, IntervalKeysFromWeeksDownLaterOnesOverwriting) {
    struct Case {
        Dict interval;
        std::optional<cal::DateComponents> expectInterval, expectDelay, expectFailureDelay;
        bool infiniteLeeway;
        double startRange;
    };
    const std::vector<Case> cases = {
        {{{"Weeks", V(2)}},
         componentsWithWeeks(2),
         componentsWithDays(4),
         componentsWithHours(1),
         true,
         0.25},
        {{{"Days", V(3)}},
         componentsWithDays(3),
         componentsWithHours(12),
         componentsWithHours(1),
         true,
         0.33},
        {{{"Hours", V(4)}},
         componentsWithHours(4),
         componentsWithHours(1),
         componentsWithHours(1),
         false,
         0.0},
        {{{"Minutes", V(30)}},
         std::nullopt,
         componentsWithMinutes(30),
         componentsWithMinutes(30),
         false,
         0.0},
        // Hours after Days: interval and delay from Hours, leeway and start range kept.
        {{{"Days", V(1)}, {"Hours", V(6)}},
         componentsWithHours(6),
         componentsWithHours(1),
         componentsWithHours(1),
         true,
         0.33},
        {{}, std::nullopt, std::nullopt, componentsWithHours(1), false, 0.0},
    };
    for (const Case& c : cases) {
        const auto b = KBEHelperSchedule::backupCriteria(withInterval(c.interval), kCurrent);
        const std::string label = plist::description(V(c.interval));
        EXPECT_EQ(b->interval(), c.expectInterval) << label;
        EXPECT_EQ(b->delay(), c.expectDelay) << label;
        EXPECT_EQ(b->failureDelay(), c.expectFailureDelay) << label;
        EXPECT_EQ(infiniteLeeway(*b), c.infiniteLeeway) << label;
        EXPECT_DOUBLE_EQ(b->startRange(), c.startRange) << label;
        EXPECT_TRUE(b->powerNap()) << label;
    }
}

TEST(ScheduleTest, OtherModes) {
    Dict calendar{
        {"Backups", V(true)},
        {"BackupsMode", V("CalendarIntervals")},
        {"CalendarIntervals",
         V(Dict{{"ASAP", V(true)},
                {"Intervals", V(plist::Array{V(Dict{{"Hour", V(9)}, {"Minute", V(30)}})})}})}};
    const auto c = KBEHelperSchedule::backupCriteria(calendar, kCurrent);
    EXPECT_EQ(c->scheduleMode(), VRNActivityScheduleMode::Calendar);
    EXPECT_THAT(*c->dateComponents(), ElementsAre(at(9, 30)));
    EXPECT_TRUE(c->runASAPIfMissed());
    EXPECT_EQ(c->delay(), componentsWithHours(1));

    for (const char* mode : {"WhenInactive", "Sometimes"}) {
        const auto w = KBEHelperSchedule::backupCriteria({{"BackupsMode", V(mode)}}, kCurrent);
        EXPECT_EQ(w->delay(), componentsWithHours(2)) << mode;
        EXPECT_TRUE(infiniteLeeway(*w)) << mode;
        EXPECT_EQ(w->failureDelay(), componentsWithHours(1)) << mode;
    }
}

TEST(ScheduleTest, ConditionsAndTheWiredNetworkRuleFrom1014) {
    Dict settings = withInterval({{"Hours", V(2)}}, false, true);
    for (const char* key : {"AllowBattery", "DontRunWhenPassive", "DontRunWithSleepPreventers",
                            "DontRunWhenNotNetworkWired"}) {
        settings.insert_or_assign(key, V(true));
    }
    const auto now = KBEHelperSchedule::backupCriteria(settings, kCurrent);
    EXPECT_TRUE(now->allowBattery());
    EXPECT_TRUE(now->dontRunWhenPassive());
    EXPECT_TRUE(now->dontRunWithSleepPreventers());
    EXPECT_TRUE(now->dontRunWhenNotNetworkWired());
    EXPECT_EQ(now->suspendFromDateComponents(), at(23, 0));
    EXPECT_EQ(now->suspendToDateComponents(), at(8, 0));
    EXPECT_FALSE(
        KBEHelperSchedule::backupCriteria(settings, kMojaveBefore)->dontRunWhenNotNetworkWired());
}

TEST(ScheduleTest, SnapshotsBesideHourlyBackupsOnlyInsideTheirWindow) {
    const auto hourly =
        KBEHelperSchedule::forSettings(withInterval({{"Hours", V(1)}}, true), kCurrent);
    ASSERT_TRUE(hourly.backups);
    EXPECT_FALSE(hourly.snapshots) << "every hourly backup makes a snapshot";

    const auto windowed =
        KBEHelperSchedule::forSettings(withInterval({{"Hours", V(1)}}, true, true), kCurrent);
    ASSERT_TRUE(windowed.snapshots);
    EXPECT_EQ(windowed.snapshots->suspendFromDateComponents(), at(8, 0));
    EXPECT_EQ(windowed.snapshots->suspendToDateComponents(), at(23, 0));
    EXPECT_EQ(windowed.snapshots->delay(), componentsWithHours(1));
    EXPECT_TRUE(windowed.snapshots->allowBattery());
    EXPECT_TRUE(windowed.snapshots->powerNap());

    // "Hours" = 1 decides even beside a longer unit; two hours do not.
    EXPECT_FALSE(KBEHelperSchedule::forSettings(
                     withInterval({{"Weeks", V(1)}, {"Hours", V(1)}}, true), kCurrent)
                     .snapshots);
    const auto daily =
        KBEHelperSchedule::forSettings(withInterval({{"Hours", V(2)}}, true, true), kCurrent);
    ASSERT_TRUE(daily.snapshots);
    EXPECT_FALSE(daily.snapshots->hasSuspensionWindow()) << "only hourly backups lend their window";

    Dict backupsOff = withInterval({{"Hours", V(1)}}, true, true);
    backupsOff.insert_or_assign("Backups", V(false));
    const auto alone = KBEHelperSchedule::forSettings(backupsOff, kCurrent);
    EXPECT_FALSE(alone.backups);
    ASSERT_TRUE(alone.snapshots);
    EXPECT_FALSE(alone.snapshots->hasSuspensionWindow());
    EXPECT_FALSE(
        KBEHelperSchedule::forSettings(withInterval({{"Hours", V(2)}}), kCurrent).snapshots);
}

TEST(ScheduleTest, CalendarIntervalsToDateComponents) {
    cal::DateComponents sunday = at(9, 30);
    sunday.weekday = 1;
    const plist::Array intervals{
        V(Dict{{"Hour", V(9)}, {"Minute", V(30)}, {"Weekday", V(0)}}),
        V(Dict{{"Hour", V(18)}, {"Minute", V(0)}}),
        V(Dict{{"Day", V(1)}, {"Hour", V(3)}, {"Minute", V(0)}}),
        V(Dict{{"Minute", V(15)}}),
    };
    EXPECT_THAT(KBEHelperSchedule::dateComponentsForCalendarIntervals(intervals),
                ElementsAre(sunday, at(18, 0)));

    cal::DateComponents seven = at(7, 0);
    seven.weekday = 1;
    cal::DateComponents saturday = at(6, 0);
    saturday.weekday = 7;
    cal::DateComponents negative = at(5, 0);
    negative.weekday = 0; // -1 % 7 + 1, not corrected
    EXPECT_THAT(
        KBEHelperSchedule::dateComponentsForCalendarIntervals(
            {V(Dict{{"Hour", V(7)}, {"Weekday", V(7)}}), V(Dict{{"Hour", V(6)}, {"Weekday", V(6)}}),
             V(Dict{{"Hour", V(5)}, {"Weekday", V(-1)}})}),
        ElementsAre(seven, saturday, negative));
    EXPECT_THAT(KBEHelperSchedule::dateComponentsForCalendarIntervals({}), IsEmpty());
}

} // namespace

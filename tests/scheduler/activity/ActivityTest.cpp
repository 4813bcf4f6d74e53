#include "common/VRNDateComponents.h"
#include "tests/scheduler/activity/ActivityTestSupport.h"

#include <gmock/gmock.h>

namespace {

using namespace std::chrono_literals;
using namespace activitytest;
using testing::Contains;
using testing::ElementsAre;
using testing::IsEmpty;
using testing::Not;

// A time of day as calendar components.
cal::DateComponents at(long hour, long minute) {
    cal::DateComponents c;
    c.hour = hour;
    c.minute = minute;
    return c;
}

std::shared_ptr<VRNActivityCriteria> delayCriteria(cal::DateComponents delay) {
    auto c = std::make_shared<VRNActivityCriteria>();
    c->setDelay(delay);
    return c;
}

TEST_F(ActivityTest, NotStartedReportsOnlyThatAndBadCriteriaGiveNoTarget) {
    auto a = activity();
    a->addAssertion("update");
    EXPECT_EQ(a->information().at("DeferReason"), plist::Value("not started"));
    EXPECT_TRUE(a->shouldDefer());

    schedule(a); // no criteria: nothing happens
    EXPECT_EQ(a->information().at("DeferReason"), plist::Value("not started"));

    a->setCriteria(std::make_shared<VRNActivityCriteria>());
    schedule(a);
    EXPECT_THAT(logged(), Contains("Bad criteria."));
    advance(1h);
    EXPECT_TRUE(runs.empty());
}

TEST_F(ActivityTest, ABurstOfChangesGivesOneEvaluationFiveSecondsAfterTheLast) {
    setNow(utc(2026, 12, 3, 12));
    setState("power-source", "battery"); // keeps the due activity deferred, so it logs
    auto a = activity();
    a->setCriteria(delayCriteria(componentsWithMinutes(1)));
    schedule(a);
    advance(10s);
    logged();
    for (const char* value : {"active", "idle", "active", "idle", "passive"}) {
        setState("user-activity", value);
        advance(600ms);
    }
    advance(5s - 600ms - 1ms);
    EXPECT_THAT(logged(), Not(Contains("Deferred: running on battery.")));
    advance(1ms);
    EXPECT_THAT(logged(), ElementsAre("Deferred: running on battery."));
    advance(1min);
    EXPECT_THAT(logged(), IsEmpty()) << "no further evaluation without a change";
}

TEST_F(ActivityTest, NeverRunBeforeFiveMinutesAfterBootOrOneMinuteAfterADeferral) {
    store = std::make_unique<VRNActivityManager>(
        environment,
        std::make_shared<prefs::Domain>(VRNActivityManager::kDomain,
                                        (folder.path() / "boot.plist").string()),
        *calendar, utc(2026, 12, 3, 12));
    setNow(utc(2026, 12, 3, 12, 1));
    auto a = activity();
    auto criteria = std::make_shared<VRNActivityCriteria>();
    criteria->setInterval(componentsWithHours(1));
    a->setCriteria(criteria);
    schedule(a, VRNActivityResultDeferred);
    EXPECT_EQ(dateOf(a->information(), "NextRun"), utc(2026, 12, 3, 12, 5));
    advance(4min - 1s);
    EXPECT_TRUE(runs.empty());
    advance(1s + 5s); // the start timer, then the evaluation
    ASSERT_EQ(runs.size(), 1u);
    // Deferred by the work: the next try is a minute later.
    EXPECT_EQ(dateOf(a->information(), "NextRun"), runs[0] + 60);
    advance(65s);
    EXPECT_EQ(runs.size(), 2u);
}

TEST_F(ActivityTest, TheWorkedIntervalExample) {
    // Day interval, last run on the 3rd at 14:00, start range 0.33, random 0.5, infinite
    // leeway, 12-hour delay: the 4th at 00:00 + 0.165 days = 03:57:36, when inactive.
    store->setObject(plist::Date{utc(2026, 12, 3, 14)}, "LastRun", "test.activity");
    setNow(utc(2026, 12, 3, 20));
    auto a = activity();
    auto c = std::make_shared<VRNActivityCriteria>();
    c->setInterval(componentsWithDays(1));
    c->setStartRange(0.33);
    c->setLeeway(VRNActivityLeeway::infinite());
    c->setDelay(componentsWithHours(12));
    a->setCriteria(c);
    schedule(a);
    auto next = dateOf(a->information(), "NextRun");
    ASSERT_TRUE(next);
    EXPECT_NEAR(*next, utc(2026, 12, 4, 3, 57, 36), 0.001);
    logged();
    advance(std::chrono::seconds(static_cast<long>(*next - VRNDateNow()) + 11));
    EXPECT_THAT(logged(), Contains("Behavior: when inactive."));
}

TEST_F(ActivityTest, AnHourlyWindowWaitsForAnIdleUserThenEndsAsap) {
    store->setObject(plist::Date{utc(2026, 12, 3, 10, 20)}, "LastRun", "test.activity");
    setNow(utc(2026, 12, 3, 10, 30));
    setState("user-activity", "active");
    auto a = activity();
    auto c = std::make_shared<VRNActivityCriteria>();
    c->setInterval(componentsWithHours(1));
    a->setCriteria(c);
    schedule(a);
    EXPECT_EQ(dateOf(a->information(), "NextRun"), utc(2026, 12, 3, 11));
    advance(30min + 10s + 5s);
    EXPECT_TRUE(runs.empty());
    EXPECT_THAT(logged(), Contains("Deferred: user is active."));
    EXPECT_THAT(
        assertions.held(),
        ElementsAre("PreventUserIdleSystemSleep|test.activity|Delay sleep to run activity."))
        << "waiting for an idle user holds off idle sleep";
    advance(1h);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_NEAR(runs[0], utc(2026, 12, 3, 12) + 5, 11);
    EXPECT_THAT(logged(), Contains("Behavior: asap."));
    EXPECT_THAT(assertions.held(), IsEmpty());
}

TEST_F(ActivityTest, WeekIntervalsCountInMondayWeeks) {
    store->setObject(plist::Date{utc(2026, 12, 2, 9)}, "LastRun", "test.activity"); // Wednesday
    setNow(utc(2026, 12, 2, 10));
    auto a = activity();
    auto c = std::make_shared<VRNActivityCriteria>();
    c->setInterval(componentsWithWeeks(1));
    c->setLeeway(VRNActivityLeeway::none());
    a->setCriteria(c);
    schedule(a);
    EXPECT_EQ(dateOf(a->information(), "NextRun"), utc(2026, 12, 7)); // the next Monday
}

TEST_F(ActivityTest, ACalendarTargetFiringMuchLateAfterSleepIsRetargeted) {
    setNow(utc(2026, 12, 3, 2));
    auto a = activity();
    auto c = std::make_shared<VRNActivityCriteria>();
    const auto three = at(3, 0);
    c->setDateComponents(std::vector{three});
    a->setCriteria(c);
    schedule(a);
    EXPECT_EQ(dateOf(a->information(), "NextRun"), utc(2026, 12, 3, 3));
    logged();
    activitytest::clock().suspend(
        2h); // asleep through 03:00; the wall timer fires on resume, 1 h late
    EXPECT_THAT(logged(), Contains("Missed activity time, re-targeting..."));
    EXPECT_EQ(dateOf(a->information(), "NextRun"), utc(2026, 12, 4, 3));
    EXPECT_TRUE(runs.empty());

    // On time, it runs; a start that does not happen within a minute is re-targeted.
    setState("power-source", "battery");
    advance(std::chrono::seconds(static_cast<long>(utc(2026, 12, 4, 3) - VRNDateNow()) + 10));
    advance(61s);
    EXPECT_THAT(logged(), Contains("Did not run during the last minute, re-targeting..."));
    EXPECT_EQ(dateOf(a->information(), "NextRun"), utc(2026, 12, 5, 3));
}

TEST_F(ActivityTest, MissedCalendarDatesCountOnlyAfterTheSubmission) {
    const auto three = at(3, 0);
    auto c = std::make_shared<VRNActivityCriteria>();
    c->setDateComponents(std::vector{three});
    c->setRunASAPIfMissed(true);
    store->setObject(plist::Date{utc(2026, 12, 1, 3)}, "LastRun", "test.activity");
    setNow(utc(2026, 12, 3, 12));

    // Submitted after the last 03:00: nothing missed, wait for tomorrow.
    store->setObject(plist::Date{utc(2026, 12, 3, 11)}, "Submitted", "test.activity");
    auto a = activity();
    a->setCriteria(c);
    schedule(a);
    EXPECT_EQ(dateOf(a->information(), "NextRun"), utc(2026, 12, 4, 3));
    a->unschedule();

    // Without it, the 2nd and 3rd at 03:00 were missed: run as soon as possible.
    store->removeObjectForKey("Submitted", "test.activity");
    logged();
    auto b = activity();
    b->setCriteria(c);
    schedule(b);
    EXPECT_THAT(logged(), Contains("Activity overdue, will run ASAP."));
    advance(6s);
    EXPECT_EQ(runs.size(), 1u);
}

TEST_F(ActivityTest, ASuspensionWindowPreparedInsideItSuspendsAtOnce) {
    setNow(utc(2026, 12, 3, 23));
    auto a = activity();
    auto c = delayCriteria(componentsWithMinutes(1));
    c->setSuspendFromDateComponents(at(22, 0));
    c->setSuspendToDateComponents(at(6, 0));
    a->setCriteria(c);
    schedule(a);
    EXPECT_THAT(logged(), Contains("Suspend activity."));
    advance(10s);
    EXPECT_THAT(logged(), Contains("Deferred: suspended."));
    a->addAssertion("update");
    a->addAssertion("backup");
    a->addAssertion("update");
    a->removeAssertion("kickstart");
    EXPECT_THAT(logged(), ElementsAre("Added assertion: update.", "Added assertion: backup."));
    EXPECT_EQ(a->information().at("DeferReason"), plist::Value("suspended, update, backup"));
    a->removeAssertion("update");
    a->removeAssertion("backup");
    advance(7h);
    EXPECT_THAT(logged(), Contains("Resume activity."));
    EXPECT_EQ(runs.size(), 1u);
    EXPECT_NEAR(runs[0], utc(2026, 12, 4, 6) + 5, 11);
}

TEST_F(ActivityTest, DueBeforeTheWindowAndAsleepInsideItAsksToBeWokenAtItsEnd) {
    // Due at 21:05 (09:05 + 12 hours) but kept waiting by an active user; the window opens
    // at 22:00 and the machine sleeps at 22:30.
    store->setObject(plist::Date{utc(2026, 12, 3, 9, 5)}, "LastRun", "test.activity");
    setNow(utc(2026, 12, 3, 21));
    setState("user-activity", "active");
    auto a = activity();
    auto c = delayCriteria(componentsWithHours(12));
    c->setLeeway(VRNActivityLeeway::infinite());
    c->setPowerNap(true);
    c->setSuspendFromDateComponents(at(22, 0));
    c->setSuspendToDateComponents(at(6, 0));
    a->setCriteria(c);
    schedule(a);
    EXPECT_EQ(dateOf(a->information(), "NextRun"), utc(2026, 12, 3, 21, 5));

    // Before the window a target that has passed asks for no wake.
    advance(10min);
    EXPECT_THAT(logged(), Contains("Deferred: user is active."));
    auto event = announce(machine::kSleepAnnouncement);
    EXPECT_EQ(sleepAnswer(*event), std::nullopt);
    announce(machine::kFullWake);

    advance(80min);
    EXPECT_THAT(logged(), Contains("Suspend activity."));
    EXPECT_TRUE(runs.empty());
    event = announce(machine::kSleepAnnouncement);
    auto request = sleepAnswer(*event);
    ASSERT_TRUE(request) << "a target waiting inside the window wakes the machine at its end";
    EXPECT_EQ(request->date, utc(2026, 12, 4, 6));
    EXPECT_EQ(request->reason, "test.activity");

    // Asleep through the window's end: the next window lies ahead again, and with it the
    // rule that a target before the window asks for no wake.
    activitytest::clock().suspend(8h);
    announce(machine::kFullWake);
    EXPECT_THAT(logged(), Contains("Resume activity."));
    event = announce(machine::kSleepAnnouncement);
    EXPECT_EQ(sleepAnswer(*event), std::nullopt);
}

TEST_F(ActivityTest, ASuspensionFromEqualToToSuspendsEveryTime) {
    setNow(utc(2026, 12, 3, 12));
    auto a = activity();
    auto c = delayCriteria(componentsWithMinutes(1));
    c->setSuspendFromDateComponents(componentsWithHours(8));
    c->setSuspendToDateComponents(componentsWithHours(8));
    a->setCriteria(c);
    schedule(a);
    EXPECT_THAT(logged(), Contains("Suspend activity."));
    advance(21h); // past 08:00: resumes, and the window is prepared again: suspended again
    auto lines = logged();
    EXPECT_THAT(lines, Contains("Resume activity."));
    EXPECT_THAT(lines, Contains("Suspend activity."));
}

TEST_F(ActivityTest, ATimeZoneChangeRetargetsCalendarDatesInTheNewZone) {
    setNow(utc(2026, 12, 3, 12));
    auto a = activity();
    auto c = std::make_shared<VRNActivityCriteria>();
    c->setDateComponents(std::vector{at(2, 0)});
    a->setCriteria(c);
    schedule(a);
    EXPECT_EQ(dateOf(a->information(), "NextRun"), utc(2026, 12, 4, 2));
    ASSERT_TRUE(calendar->setTimeZone("America/New_York", nullptr));
    store->systemTimeZoneDidChange();
    EXPECT_THAT(logged(), Contains("System time zone did change."));
    EXPECT_EQ(dateOf(a->information(), "NextRun"), utc(2026, 12, 4, 7)); // 02:00 EST
}

TEST_F(ActivityTest, WorkResultsAreRecordedAndSetTheNextTarget) {
    setNow(utc(2026, 12, 3, 12));
    auto a = activity();
    auto c = delayCriteria(componentsWithHours(1));
    c->setFailureDelay(componentsWithMinutes(15));
    a->setCriteria(c);
    schedule(a, VRNActivityResultFailed, 2min);
    advance(6s);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(a->information().at("Running"), plist::Value(true));
    EXPECT_THAT(assertions.held(), ElementsAre("PreventUserIdleSystemSleep|test.activity|",
                                               "BackgroundTask|test.activity|"));
    advance(2min);
    EXPECT_THAT(assertions.held(), IsEmpty());
    EXPECT_THAT(logged(), Contains("Activity failed."));
    auto info = a->information();
    EXPECT_EQ(dateOf(info, "NextRun"), *dateOf(info, "LastTry") + 15 * 60);
    EXPECT_EQ(store->objectForKey("LastTry", "test.activity"),
              plist::Value(plist::Date{*dateOf(info, "LastTry")}));
}

TEST_F(ActivityTest, UnscheduleDuringARunStillRecordsTheResult) {
    setNow(utc(2026, 12, 3, 12));
    auto a = activity();
    a->setCriteria(delayCriteria(componentsWithHours(1)));
    schedule(a, VRNActivityResultFinished, 10min);
    advance(6s);
    ASSERT_EQ(runs.size(), 1u);
    a->unschedule();
    logged();
    advance(10min);
    EXPECT_TRUE(store->objectForKey("LastRun", "test.activity").has_value());
    EXPECT_THAT(logged(), Contains("Can't prepare next target (started:0, running:0)."));
    EXPECT_EQ(a->information().count("NextRun"), 0u);
    EXPECT_EQ(a->information().at("DeferReason"), plist::Value("not started"));
}

TEST_F(ActivityTest, AsapRunsDespiteLoadAndHeatWhenInactiveDoesNot) {
    setNow(utc(2026, 12, 3, 12));
    setState("system-load", "bad");
    setState("thermal", "heavy");
    auto waiting = activity("inactive");
    auto c = delayCriteria(componentsWithMinutes(1));
    c->setLeeway(VRNActivityLeeway::infinite());
    waiting->setCriteria(c);
    schedule(waiting);
    auto eager = activity("eager");
    eager->setCriteria(delayCriteria(componentsWithMinutes(1)));
    schedule(eager);
    advance(10s);
    EXPECT_EQ(runs.size(), 1u) << "only the asap activity ran";
    EXPECT_EQ(waiting->information().at("DeferReason"),
              plist::Value("system load, thermal pressure"));
}

TEST_F(ActivityTest, PassiveUsersDeferOnlyWhenAsked) {
    setNow(utc(2026, 12, 3, 12));
    setState("user-activity", "passive");
    auto a = activity();
    auto c = delayCriteria(componentsWithMinutes(1));
    c->setLeeway(VRNActivityLeeway::infinite());
    c->setDontRunWhenPassive(true);
    a->setCriteria(c);
    schedule(a);
    advance(10s);
    EXPECT_TRUE(runs.empty());
    EXPECT_THAT(logged(), Contains("Deferred: user is passive."));
    c->setDontRunWhenPassive(false);
    a->setCriteria(c);
    advance(10s);
    EXPECT_EQ(runs.size(), 1u);
}

TEST_F(ActivityTest, WakeRequestsBeforeSleep) {
    setNow(utc(2026, 12, 3, 12));
    store->setObject(plist::Date{utc(2026, 12, 3, 11, 30)}, "LastRun", "test.activity");
    auto a = activity();
    auto c = delayCriteria(componentsWithHours(1));
    c->setPowerNap(true);
    a->setCriteria(c);
    schedule(a);
    auto event = announce(machine::kSleepAnnouncement);
    ASSERT_TRUE(event);
    auto request = sleepAnswer(*event);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->date, utc(2026, 12, 3, 12, 30));
    EXPECT_EQ(request->reason, "test.activity");

    // On battery no wake is asked for.
    announce(machine::kFullWake);
    setState("power-source", "battery");
    event = announce(machine::kSleepAnnouncement);
    EXPECT_EQ(sleepAnswer(*event), std::nullopt);
    setState("power-source", "AC");

    // Less than a minute ahead: no wake either.
    announce(machine::kFullWake);
    advance(29min + 30s);
    event = announce(machine::kSleepAnnouncement);
    EXPECT_EQ(sleepAnswer(*event), std::nullopt);
}

TEST_F(ActivityTest, ARunThatEndedInDarkWakeAsksForNoWakeUntilAFullWake) {
    setNow(utc(2026, 12, 3, 12));
    auto a = activity();
    auto c = delayCriteria(componentsWithHours(1));
    c->setPowerNap(true);
    a->setCriteria(c);
    schedule(a);
    announce(machine::kDarkWakeWithBackgroundTasks);
    advance(10s);
    ASSERT_EQ(runs.size(), 1u) << "power nap lets it run in a dark wake";
    auto event = announce(machine::kSleepAnnouncement);
    EXPECT_EQ(sleepAnswer(*event), std::nullopt);
    announce(machine::kFullWake);
    event = announce(machine::kSleepAnnouncement);
    auto request = sleepAnswer(*event);
    ASSERT_TRUE(request);
    EXPECT_NEAR(request->date, runs[0] + 3600, 1);

    // Asleep, even power nap defers.
    advance(1h + 10s);
    EXPECT_EQ(runs.size(), 1u);
    EXPECT_EQ(a->information().at("DeferReason"), plist::Value("sleep state"));
}

} // namespace

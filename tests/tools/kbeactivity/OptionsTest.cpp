// kbeactivity's command line and input commands, parsed into criteria and commands.
#include "tools/kbeactivity/Options.h"

#include "scheduler/activity/VRNActivity.h"

#include <gtest/gtest.h>

namespace {

using kbeactivity::Command;
using kbeactivity::Options;

cal::DateComponents components(std::optional<long> hour, std::optional<long> minute) {
    cal::DateComponents c;
    c.hour = hour;
    c.minute = minute;
    return c;
}

// Parses `args`; on failure returns the error text, on success "".
std::string parse(std::vector<std::string_view> args, Options* options) {
    std::string error;
    const bool parsed = kbeactivity::parseArguments(args, options, &error);
    EXPECT_EQ(parsed, error.empty()) << error;
    return error;
}

TEST(KbeactivityDurations, UnitsBecomeOneCalendarField) {
    EXPECT_EQ(kbeactivity::parseComponents("90s")->second, 90);
    EXPECT_EQ(kbeactivity::parseComponents("30m")->minute, 30);
    EXPECT_EQ(kbeactivity::parseComponents("2h")->hour, 2);
    EXPECT_EQ(kbeactivity::parseComponents("1d")->day, 1);
    const auto week = kbeactivity::parseComponents("1w");
    ASSERT_TRUE(week);
    EXPECT_EQ(week->weekOfMonth, 1);
    EXPECT_FALSE(week->day);

    EXPECT_EQ(kbeactivity::parseDuration("90s"), std::chrono::seconds(90));
    EXPECT_EQ(kbeactivity::parseDuration("2h"), std::chrono::hours(2));
    EXPECT_EQ(kbeactivity::parseDuration("1w"), std::chrono::hours(7 * 24));

    for (const char* bad :
         {"", "5", "m", "0m", "-1h", "1x", "1.5h", "2hh", " 2h", "99999999999d"}) {
        EXPECT_FALSE(kbeactivity::parseDuration(bad)) << bad;
        if (std::string_view(bad) != "99999999999d") {
            EXPECT_FALSE(kbeactivity::parseComponents(bad)) << bad;
        }
    }
}

TEST(KbeactivityDates, ClockTimesAndUtcDates) {
    EXPECT_EQ(kbeactivity::parseClockTime("02:00"), components(2, 0));
    EXPECT_EQ(kbeactivity::parseClockTime("23:59"), components(23, 59));
    for (const char* bad : {"24:00", "2:00", "12:60", "12-00", "12:5a", ""}) {
        EXPECT_FALSE(kbeactivity::parseClockTime(bad)) << bad;
    }

    // 2026-12-03 14:00 UTC is Unix time 1796306400.
    EXPECT_EQ(kbeactivity::parseUtcDate("2026-12-03 14:00"), cal::dateFromUnixTime(1796306400));
    EXPECT_EQ(kbeactivity::parseUtcDate("2026-12-03 14:00:36"), cal::dateFromUnixTime(1796306436));
    EXPECT_EQ(kbeactivity::dateText(cal::dateFromUnixTime(1796306436.75)), "2026-12-03 14:00:36");
    for (const char* bad :
         {"2026-11-31 10:00", "2026-02-29 10:00", "2026-12-03T14:00", "2026-12-03 14:00:60",
          "2026-12-03 25:00", "2026-12-03", "26-12-03 14:00"}) {
        EXPECT_FALSE(kbeactivity::parseUtcDate(bad)) << bad;
    }
}

TEST(KbeactivityArguments, IntervalCriteriaWorkAndClock) {
    Options options;
    EXPECT_EQ(parse({"--interval",
                     "1d",
                     "--delay",
                     "12h",
                     "--failure-delay",
                     "30m",
                     "--leeway",
                     "infinite",
                     "--start-range",
                     "0.33",
                     "--allow-battery",
                     "--power-nap",
                     "--dont-run-when-passive",
                     "--dont-run-with-sleep-preventers",
                     "--dont-run-when-not-wired",
                     "--last-run",
                     "2026-12-03 14:00",
                     "--result",
                     "failed",
                     "--work-time",
                     "2m",
                     "--virtual",
                     "--now",
                     "2026-12-03 12:00",
                     "--random",
                     "0.5",
                     "--identifier",
                     "snapshots",
                     "--echo"},
                    &options),
              "");
    const auto& criteria = *options.criteria;
    EXPECT_EQ(criteria.scheduleMode(), VRNActivityScheduleMode::Interval);
    EXPECT_EQ(criteria.interval()->day, 1);
    EXPECT_EQ(criteria.delay()->hour, 12);
    EXPECT_EQ(criteria.failureDelay()->minute, 30);
    EXPECT_EQ(criteria.leeway()->type(), VRNActivityLeeway::Infinite);
    EXPECT_DOUBLE_EQ(criteria.startRange(), 0.33);
    EXPECT_TRUE(criteria.allowBattery() && criteria.powerNap() && criteria.dontRunWhenPassive() &&
                criteria.dontRunWithSleepPreventers() && criteria.dontRunWhenNotNetworkWired());
    EXPECT_FALSE(criteria.runASAPIfMissed());
    EXPECT_FALSE(criteria.hasSuspensionWindow());
    EXPECT_EQ(options.lastRun, cal::dateFromUnixTime(1796306400));
    EXPECT_EQ(options.result, VRNActivityResultFailed);
    EXPECT_EQ(options.workTime, std::chrono::minutes(2));
    EXPECT_TRUE(options.virtualClock && options.echo);
    EXPECT_EQ(options.start, cal::dateFromUnixTime(1796299200));
    EXPECT_EQ(options.fixedDraw, 0.5);
    EXPECT_EQ(options.identifier, "snapshots");
}

TEST(KbeactivityArguments, CalendarWeekdaySuspensionAndLeeways) {
    Options options;
    EXPECT_EQ(parse({"--calendar", "02:00,14:30", "--weekday", "2", "--suspend", "22:00-06:00",
                     "--run-asap-if-missed", "--leeway", "2h", "--work-time", "0"},
                    &options),
              "");
    const auto& criteria = *options.criteria;
    EXPECT_EQ(criteria.scheduleMode(), VRNActivityScheduleMode::Calendar);
    auto monday = [](long hour, long minute) {
        auto c = components(hour, minute);
        c.weekday = 2;
        return c;
    };
    EXPECT_EQ(criteria.dateComponents(),
              (std::vector<cal::DateComponents>{monday(2, 0), monday(14, 30)}));
    EXPECT_EQ(criteria.suspendFromDateComponents(), components(22, 0));
    EXPECT_EQ(criteria.suspendToDateComponents(), components(6, 0));
    EXPECT_TRUE(criteria.runASAPIfMissed());
    EXPECT_EQ(criteria.leeway()->type(), VRNActivityLeeway::DateComponents);
    EXPECT_EQ(criteria.leeway()->dateComponents()->hour, 2);
    EXPECT_EQ(options.workTime, dispatch::Duration::zero());
    EXPECT_FALSE(options.virtualClock);

    Options delayOnly;
    EXPECT_EQ(parse({"--delay", "1h", "--leeway", "none"}, &delayOnly), "");
    EXPECT_EQ(delayOnly.criteria->scheduleMode(), VRNActivityScheduleMode::DelayOnly);
    EXPECT_EQ(delayOnly.criteria->leeway()->type(), VRNActivityLeeway::None);
}

TEST(KbeactivityArguments, BadArgumentsAreNamed) {
    const std::vector<std::pair<std::vector<std::string_view>, std::string>> cases{
        {{"--interval", "1d", "--frobnicate"}, "unknown option \"--frobnicate\""},
        {{"--interval"}, "--interval needs a value"},
        {{"--interval", "daily"}, "bad value for --interval: \"daily\""},
        {{"--calendar", "02:00,25:00"}, "bad value for --calendar: \"02:00,25:00\""},
        {{"--interval", "1d", "--suspend", "22:00"}, "bad value for --suspend: \"22:00\""},
        {{"--interval", "1d", "--start-range", "1.5"}, "bad value for --start-range: \"1.5\""},
        {{"--interval", "1d", "--leeway", "forever"}, "bad value for --leeway: \"forever\""},
        {{"--interval", "1d", "--result", "ok"}, "bad value for --result: \"ok\""},
        {{"--interval", "1d", "--random", "1"}, "bad value for --random: \"1\""},
        {{"--interval", "1d", "--weekday", "8"}, "bad value for --weekday: \"8\""},
        {{"--allow-battery"}, "no schedule: give --interval, --calendar or --delay"},
        {{"--interval", "1d", "--weekday", "3"}, "--weekday needs --calendar"},
        {{"--interval", "1d", "--now", "2026-12-03 12:00"}, "--now needs --virtual"},
    };
    for (const auto& [args, expected] : cases) {
        Options options;
        EXPECT_EQ(parse(args, &options), expected);
    }
}

TEST(KbeactivityCommands, EachCommandAndItsArguments) {
    std::string error;
    auto kind = [&](std::string_view line) {
        auto command = kbeactivity::parseCommand(line, &error);
        return command ? std::optional(command->kind) : std::nullopt;
    };
    EXPECT_EQ(kind("info"), Command::Kind::Info);
    EXPECT_EQ(kind("sleep"), Command::Kind::Sleep);
    EXPECT_EQ(kind("wake"), Command::Kind::Wake);
    EXPECT_EQ(kind("darkwake"), Command::Kind::DarkWake);
    EXPECT_EQ(kind("now"), Command::Kind::Now);
    EXPECT_EQ(kind("quit"), Command::Kind::Quit);
    EXPECT_EQ(kind("assert add update"), Command::Kind::AssertAdd);
    EXPECT_EQ(kind("assert remove update"), Command::Kind::AssertRemove);

    auto set = kbeactivity::parseCommand("set  power-source\tbattery ", &error);
    ASSERT_TRUE(set);
    EXPECT_EQ(set->kind, Command::Kind::Set);
    EXPECT_EQ(set->words, (std::vector<std::string>{"power-source", "battery"}));

    auto advance = kbeactivity::parseCommand("advance 90s", &error);
    ASSERT_TRUE(advance);
    EXPECT_EQ(advance->duration, std::chrono::seconds(90));

    auto hold = kbeactivity::parseCommand("hold add video 1234", &error);
    ASSERT_TRUE(hold);
    EXPECT_EQ(hold->kind, Command::Kind::HoldAdd);
    EXPECT_EQ(hold->words, std::vector<std::string>{"video"});
    EXPECT_EQ(hold->pid, 1234);
    auto release = kbeactivity::parseCommand("hold remove video", &error);
    ASSERT_TRUE(release);
    EXPECT_EQ(release->kind, Command::Kind::HoldRemove);
    EXPECT_FALSE(release->pid);

    for (const char* bad :
         {"info now", "set power-source", "advance", "advance soon", "hold add video 0",
          "hold add video x", "hold drop video", "assert add", "assert add a b", "launch"}) {
        EXPECT_FALSE(kbeactivity::parseCommand(bad, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

} // namespace

namespace {

TEST(KbeactivityDraws, TheSpreadFactorIsTheSmallestNotBelowTheFractionAskedFor) {
    constexpr double kLargest = 4294967295.0;
    std::vector<double> fractions{0.0, 0.1, 0.2, 0.25, 1.0 / 3, 0.33, 0.5, 0.7, 0.9, 0.999999};
    for (int i = 1; i < 1000; ++i) {
        fractions.push_back(i / 1000.0);
    }
    for (double fraction : fractions) {
        const std::uint32_t draw = kbeactivity::drawForFraction(fraction);
        EXPECT_GE(draw / kLargest, fraction) << fraction;
        if (draw > 0) {
            EXPECT_LT((draw - 1) / kLargest, fraction) << fraction;
        }
    }
    EXPECT_EQ(kbeactivity::drawForFraction(0), 0u);
    EXPECT_EQ(kbeactivity::drawForFraction(1), 4294967295u);
}

TEST(KbeactivityArguments, HistoryBootDateTimeZoneAndLevels) {
    Options options;
    EXPECT_EQ(parse({"--delay", "1h", "--last-try", "2026-12-03 14:00", "--submitted",
                     "2026-12-03 14:00:36", "--boot", "2026-12-03 12:00", "--timezone",
                     "Europe/Berlin", "--levels"},
                    &options),
              "");
    EXPECT_EQ(options.lastTry, cal::dateFromUnixTime(1796306400));
    EXPECT_EQ(options.submitted, cal::dateFromUnixTime(1796306436));
    EXPECT_EQ(options.bootDate, cal::dateFromUnixTime(1796299200));
    EXPECT_FALSE(options.bootDateUnavailable);
    EXPECT_EQ(options.timeZone, "Europe/Berlin");
    EXPECT_TRUE(options.levels);
    EXPECT_FALSE(options.lastRun);

    Options defaults;
    EXPECT_EQ(parse({"--delay", "1h", "--boot", "unavailable"}, &defaults), "");
    EXPECT_TRUE(defaults.bootDateUnavailable);
    EXPECT_FALSE(defaults.bootDate);
    EXPECT_EQ(defaults.timeZone, "UTC");
    EXPECT_FALSE(defaults.levels);

    const std::vector<std::pair<std::vector<std::string_view>, std::string>> cases{
        {{"--delay", "1h", "--boot", "yesterday"}, "bad value for --boot: \"yesterday\""},
        {{"--delay", "1h", "--timezone", "Mars/Olympus"},
         "bad value for --timezone: \"Mars/Olympus\""},
        {{"--delay", "1h", "--last-try", "2026-02-30 10:00"},
         "bad value for --last-try: \"2026-02-30 10:00\""},
        {{"--delay", "1h", "--submitted"}, "--submitted needs a value"},
    };
    for (const auto& [args, expected] : cases) {
        Options bad;
        EXPECT_EQ(parse(args, &bad), expected);
    }
}

TEST(KbeactivityArguments, CalendarTimesWithAndWithoutWeekdaysAndOneEndedWindows) {
    Options options;
    EXPECT_EQ(
        parse({"--calendar", "2@02:00,14:30,7@09:15", "--weekday", "4", "--suspend", "22:00-"},
              &options),
        "");
    auto on = [](long weekday, long hour, long minute) {
        auto c = components(hour, minute);
        c.weekday = weekday;
        return c;
    };
    // --weekday fills in only the times that have no weekday of their own.
    EXPECT_EQ(options.criteria->dateComponents(),
              (std::vector<cal::DateComponents>{on(2, 2, 0), on(4, 14, 30), on(7, 9, 15)}));
    EXPECT_EQ(options.criteria->suspendFromDateComponents(), components(22, 0));
    EXPECT_FALSE(options.criteria->suspendToDateComponents());
    EXPECT_FALSE(options.criteria->hasSuspensionWindow());

    Options mixed;
    EXPECT_EQ(parse({"--calendar", "1@12:00,02:30", "--suspend", "-06:00"}, &mixed), "");
    EXPECT_EQ(mixed.criteria->dateComponents(),
              (std::vector<cal::DateComponents>{on(1, 12, 0), components(2, 30)}));
    EXPECT_FALSE(mixed.criteria->suspendFromDateComponents());
    EXPECT_EQ(mixed.criteria->suspendToDateComponents(), components(6, 0));

    for (const char* bad : {"0@02:00", "8@02:00", "@02:00", "2@", "2@2@02:00", "x@02:00"}) {
        Options wrong;
        EXPECT_EQ(parse({"--calendar", bad}, &wrong),
                  "bad value for --calendar: \"" + std::string(bad) + "\"");
    }
    for (const char* bad : {"-", "22:00-6:00", "22:00--06:00", "-25:00", "22:00"}) {
        Options wrong;
        EXPECT_EQ(parse({"--interval", "1d", "--suspend", bad}, &wrong),
                  "bad value for --suspend: \"" + std::string(bad) + "\"");
    }
}

TEST(KbeactivityCommands, CriteriaSchedulingAndHistoryCommands) {
    std::string error;
    auto criteria = kbeactivity::parseCommand(
        "criteria --calendar 2@03:00 --run-asap-if-missed --suspend 22:00-06:00", &error);
    ASSERT_TRUE(criteria) << error;
    EXPECT_EQ(criteria->kind, Command::Kind::Criteria);
    ASSERT_TRUE(criteria->criteria);
    EXPECT_EQ(criteria->criteria->scheduleMode(), VRNActivityScheduleMode::Calendar);
    EXPECT_TRUE(criteria->criteria->runASAPIfMissed());
    EXPECT_TRUE(criteria->criteria->hasSuspensionWindow());

    // Without a schedule the criteria are still given (the activity says they are bad);
    // "null" gives none at all.
    auto unscheduled = kbeactivity::parseCommand("criteria --allow-battery", &error);
    ASSERT_TRUE(unscheduled && unscheduled->criteria);
    EXPECT_EQ(unscheduled->criteria->scheduleMode(), VRNActivityScheduleMode::None);
    EXPECT_TRUE(unscheduled->criteria->allowBattery());
    auto empty = kbeactivity::parseCommand("criteria", &error);
    ASSERT_TRUE(empty && empty->criteria);
    auto none = kbeactivity::parseCommand("criteria null", &error);
    ASSERT_TRUE(none);
    EXPECT_EQ(none->kind, Command::Kind::Criteria);
    EXPECT_FALSE(none->criteria);

    EXPECT_FALSE(kbeactivity::parseCommand("criteria --interval 1d --virtual", &error));
    EXPECT_EQ(error, "unknown option \"--virtual\"") << "tool options are not criteria";
    EXPECT_FALSE(kbeactivity::parseCommand("criteria --weekday 2", &error));
    EXPECT_EQ(error, "--weekday needs --calendar");

    EXPECT_EQ(kbeactivity::parseCommand("schedule", &error)->kind, Command::Kind::Schedule);
    EXPECT_EQ(kbeactivity::parseCommand("unschedule", &error)->kind, Command::Kind::Unschedule);

    auto submittedNow = kbeactivity::parseCommand("submitted now", &error);
    ASSERT_TRUE(submittedNow);
    EXPECT_EQ(submittedNow->kind, Command::Kind::Submitted);
    EXPECT_FALSE(submittedNow->date);
    auto submitted = kbeactivity::parseCommand("submitted 2026-12-03  14:00", &error);
    ASSERT_TRUE(submitted) << error;
    EXPECT_EQ(submitted->date, cal::dateFromUnixTime(1796306400));

    auto record = kbeactivity::parseCommand("record failed 2026-12-03 14:00:36", &error);
    ASSERT_TRUE(record) << error;
    EXPECT_EQ(record->kind, Command::Kind::Record);
    EXPECT_EQ(record->result, VRNActivityResultFailed);
    EXPECT_EQ(record->date, cal::dateFromUnixTime(1796306436));
    auto recordNow = kbeactivity::parseCommand("record finished now", &error);
    ASSERT_TRUE(recordNow);
    EXPECT_EQ(recordNow->result, VRNActivityResultFinished);
    EXPECT_FALSE(recordNow->date);

    auto zone = kbeactivity::parseCommand("timezone America/New_York", &error);
    ASSERT_TRUE(zone);
    EXPECT_EQ(zone->kind, Command::Kind::TimeZone);
    EXPECT_EQ(zone->words, std::vector<std::string>{"America/New_York"});

    for (const char* bad :
         {"schedule now", "unschedule it", "submitted", "submitted tomorrow",
          "submitted now 2026-12-03 14:00", "record finished", "record ok now",
          "record failed 2026-12-03", "timezone", "timezone Mars/Olympus", "timezone UTC UTC"}) {
        EXPECT_FALSE(kbeactivity::parseCommand(bad, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

} // namespace

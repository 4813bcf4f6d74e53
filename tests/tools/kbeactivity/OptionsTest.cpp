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

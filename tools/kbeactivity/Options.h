#pragma once

// The command line and the standard-input commands of kbeactivity, parsed into values.

#include "platform/calendar/Date.h"
#include "platform/calendar/DateComponents.h"
#include "platform/dispatch/Time.h"
#include "scheduler/activity/VRNActivityCriteria.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kbeactivity {

// "90s", "5m", "2h", "1d", "1w": one field of calendar components (weeks as week-of-month
// units, as activities count them).
std::optional<cal::DateComponents> parseComponents(std::string_view text);
// The same texts as a length of time (a week is seven days).
std::optional<dispatch::Duration> parseDuration(std::string_view text);
// "HH:MM" as hour and minute components.
std::optional<cal::DateComponents> parseClockTime(std::string_view text);
// "YYYY-MM-DD HH:MM" or "YYYY-MM-DD HH:MM:SS", UTC.
std::optional<cal::Date> parseUtcDate(std::string_view text);
// A date as the tool prints it: "2026-12-03 14:00:00" (UTC).
std::string dateText(cal::Date date);

// The 32-bit draw the activity turns into its spread factor (draw / (2^32 - 1)): the
// smallest whose factor is not below `fraction` (in [0, 1]), so that a spread computed from
// it never falls short of the one asked for.
std::uint32_t drawForFraction(double fraction);

// What the tool runs: one activity, its work and its clock.
struct Options {
    std::string identifier = "backup";
    std::shared_ptr<VRNActivityCriteria> criteria = std::make_shared<VRNActivityCriteria>();
    // The history the activity starts with (the state store holds nothing else).
    std::optional<cal::Date> lastRun;
    std::optional<cal::Date> lastTry;
    std::optional<cal::Date> submitted;
    // The boot date: given, unavailable, or (neither) the virtual start or the kernel's.
    std::optional<cal::Date> bootDate;
    bool bootDateUnavailable = false;
    std::string timeZone = "UTC"; // of the calendar and the engine's log lines
    unsigned long result = 0;     // VRNActivityResult reported by the work
    dispatch::Duration workTime = std::chrono::minutes(1);
    bool virtualClock = false;
    std::optional<cal::Date> start;  // the virtual clock's first wall time
    std::optional<double> fixedDraw; // the random draw, in [0, 1), for repeatable spreads
    bool echo = false;               // print each input line before running it
    bool levels = false;             // print the level of each log line
};

// Fills `options` from the arguments after the program name; false with `error` filled
// when one is unknown, lacks its value or has a bad one, or the criteria name no schedule.
bool parseArguments(const std::vector<std::string_view>& args, Options* options,
                    std::string* error);

// Criteria from the criteria options alone (schedule and conditions), as the "criteria"
// command takes them; no schedule is accepted (the activity then logs bad criteria). Null
// with `error` filled when an option is unknown or has a bad value.
std::shared_ptr<VRNActivityCriteria> parseCriteria(const std::vector<std::string_view>& args,
                                                   std::string* error);

// The usage text.
std::string usageText();

// One line of standard input.
struct Command {
    enum class Kind {
        Info,
        Set, // words: state, value
        Sleep,
        Wake,
        DarkWake,
        HoldAdd,    // words: name; pid when given
        HoldRemove, // words: name; pid when given
        AssertAdd,  // words: name
        AssertRemove,
        Criteria, // criteria (null: none at all)
        Schedule,
        Unschedule,
        Submitted, // date
        Record,    // result, date
        TimeZone,  // words: zone
        Advance,   // duration
        Now,
        Help,
        Quit,
    };
    Kind kind = Kind::Help;
    std::vector<std::string> words;
    std::optional<int> pid;
    dispatch::Duration duration{};
    std::shared_ptr<VRNActivityCriteria> criteria;
    std::optional<cal::Date> date; // none: the time the command runs
    unsigned long result = 0;
};

// The command on `line` (already known not to be blank or a comment); nullopt with `error`
// filled when it is unknown or its arguments are wrong.
std::optional<Command> parseCommand(std::string_view line, std::string* error);

// The commands, one per line, for "help".
std::string commandsText();

} // namespace kbeactivity

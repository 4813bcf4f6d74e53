#include "upgrader/LegacyJob.h"

#include <cstdint>
#include <limits>
#include <string_view>

namespace upgrader {

namespace {

using plist::Array;
using plist::Dictionary;
using plist::Value;

constexpr std::string_view kIntervalSwitch = "--interval";
constexpr std::string_view kInactiveSwitch = "--inactive";
constexpr std::string_view kActivitySwitch = "--xpc-activity";
constexpr std::string_view kAllowBatterySwitch = "--allow-battery";

// The index of the mode switch in "ProgramArguments"; options follow it.
constexpr std::size_t kSwitchIndex = 1;

bool isText(const Value& value, std::string_view text) {
    const std::string* string = value.asString();
    return string != nullptr && *string == text;
}

bool anyFrom(const Array& arguments, std::size_t first, std::string_view text) {
    for (std::size_t i = first; i < arguments.size(); ++i) {
        if (isText(arguments[i], text)) {
            return true;
        }
    }
    return false;
}

// The integer value of a text as the platform reads a number out of text: leading white
// space and a sign, then the longest run of digits ("12abc" is 12, "abc" 0), saturating at
// the 64-bit range.
std::int64_t integerValueOfText(std::string_view text) {
    std::size_t i = 0;
    const auto isSpace = [](char c) {
        return c == ' ' || (c >= '\t' && c <= '\r');
    };
    while (i < text.size() && isSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Accumulated toward the sign's side, so that the most negative value fits too.
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const int digit = text[i] - '0';
        if (negative) {
            if (value < (kMin + digit) / 10) {
                return kMin;
            }
            value = value * 10 - digit;
        } else {
            if (value > (kMax - digit) / 10) {
                return kMax;
            }
            value = value * 10 + digit;
        }
    }
    return value;
}

// A number argument gives its own integer value; any kind but text and numbers gives 0.
std::int64_t integerValueOfArgument(const Value& argument) {
    if (const std::string* text = argument.asString()) {
        return integerValueOfText(*text);
    }
    return argument.asInteger().value_or(0);
}

Dictionary calendarForm(Array intervals, bool allowBattery) {
    return {{"CalendarIntervals", Value(std::move(intervals))}, {"AllowBattery", allowBattery}};
}

Dictionary intervalForm(std::int64_t interval, bool allowBattery) {
    return {{"Interval", interval}, {"AllowBattery", allowBattery}};
}

Dictionary inactivityForm(bool allowBattery) {
    return {{"WhenInactive", true}, {"AllowBattery", allowBattery}};
}

// "--xpc-activity": the options may name an interval (the last one counts) and battery use.
Dictionary activityForm(const Array& arguments) {
    std::optional<std::int64_t> interval;
    bool allowBattery = false;
    for (std::size_t i = kSwitchIndex + 1; i < arguments.size();) {
        if (isText(arguments[i], kIntervalSwitch) && i + 1 < arguments.size()) {
            interval = integerValueOfArgument(arguments[i + 1]);
            i += 2;
            continue;
        }
        if (isText(arguments[i], kAllowBatterySwitch)) {
            allowBattery = true;
        }
        ++i;
    }
    return interval ? intervalForm(*interval, allowBattery) : inactivityForm(allowBattery);
}

std::optional<Dictionary> settingsForArguments(const Array& arguments) {
    if (arguments.size() <= kSwitchIndex) {
        return std::nullopt;
    }
    const Value& modeSwitch = arguments[kSwitchIndex];
    if (isText(modeSwitch, kIntervalSwitch)) {
        // Without its value the switch names no period: nothing is carried over.
        if (arguments.size() <= kSwitchIndex + 1) {
            return std::nullopt;
        }
        return intervalForm(integerValueOfArgument(arguments[kSwitchIndex + 1]),
                            anyFrom(arguments, kSwitchIndex + 2, kAllowBatterySwitch));
    }
    if (isText(modeSwitch, kInactiveSwitch)) {
        return inactivityForm(anyFrom(arguments, kSwitchIndex + 1, kAllowBatterySwitch));
    }
    if (isText(modeSwitch, kActivitySwitch)) {
        return activityForm(arguments);
    }
    return std::nullopt;
}

} // namespace

std::optional<Dictionary> settingsForLegacyJob(const Dictionary& job) {
    static const Array kNoArguments;
    const auto found = job.find("ProgramArguments");
    const Array* listed = found != job.end() ? found->second.asArray() : nullptr;
    const Array& arguments = listed != nullptr ? *listed : kNoArguments;

    if (const auto calendar = job.find("StartCalendarInterval"); calendar != job.end()) {
        // launchd takes one calendar entry or an array of them; anything else is no schedule.
        Array intervals;
        if (const Array* entries = calendar->second.asArray()) {
            intervals = *entries;
        } else if (calendar->second.isDictionary()) {
            intervals.push_back(calendar->second);
        } else {
            return std::nullopt;
        }
        const bool allowBattery = arguments.size() > kSwitchIndex + 1 &&
                                  isText(arguments[kSwitchIndex + 1], kAllowBatterySwitch);
        return calendarForm(std::move(intervals), allowBattery);
    }
    return settingsForArguments(arguments);
}

} // namespace upgrader

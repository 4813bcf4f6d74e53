#pragma once

#include <optional>
#include <string>

namespace cal {

// A set of calendar fields, each set or undefined. Used for intervals, leeways, delays and
// calendar times; what the fields mean depends on the calendar they are applied with.
struct DateComponents {
    std::optional<long> year;
    std::optional<long> month;
    std::optional<long> day;
    std::optional<long> hour;
    std::optional<long> minute;
    std::optional<long> second;
    std::optional<long> weekday; // 1 = Sunday ... 7 = Saturday
    std::optional<long> weekOfMonth;
    std::optional<long> weekOfYear;

    bool operator==(const DateComponents&) const = default;

    bool isEmpty() const { return *this == DateComponents{}; }

    // "{hour = 14; minute = 30; }" style text of the fields that are set, for log lines.
    std::string description() const;
};

} // namespace cal

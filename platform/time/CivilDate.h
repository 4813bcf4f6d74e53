#pragma once

namespace timebase {

// Proleptic Gregorian day arithmetic, independent of any time zone. Days are counted from
// 1970-01-01; weeks begin on Monday and the first week of a month or year is the one that
// contains its first day.
struct CivilDate {
    long year;
    int month; // 1 ... 12
    int day;   // 1 ... 31

    bool operator==(const CivilDate&) const = default;

    static CivilDate fromDayNumber(long dayNumber);
    long dayNumber() const;

    // 1 = Sunday ... 7 = Saturday.
    int weekday() const;
    // 0 = Monday ... 6 = Sunday: days since the start of the week.
    int daysSinceMonday() const;
    int weekOfMonth() const;
    // The days of December in the week that contains the next 1 January are in week 1.
    int weekOfYear() const;

    static bool isLeapYear(long year);
    static int daysInMonth(long year, int month);
};

} // namespace timebase

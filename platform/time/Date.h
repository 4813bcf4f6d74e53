#pragma once

namespace timebase {

// Seconds between the Unix epoch (1970-01-01 UTC) and the reference date 2001-01-01
// 00:00:00 UTC, from which every date of the product counts.
inline constexpr double kReferenceDateUnixTime = 978307200.0;

// Days from 1970-01-01 to the reference date (CivilDate's day numbers).
inline constexpr long kReferenceDayNumber = 11323;

// A point in time: seconds since the reference date, fractions allowed, kept as the exact
// double that binary property lists hold. The calendar does its arithmetic on the plain
// number (cal::Date); property-list values keep this type so that dates and reals stay
// apart.
struct Date {
    double secondsSinceReferenceDate = 0;

    static constexpr Date fromUnixTime(double secondsSince1970) {
        return Date{secondsSince1970 - kReferenceDateUnixTime};
    }
    constexpr double unixTime() const { return secondsSinceReferenceDate + kReferenceDateUnixTime; }

    bool operator==(const Date&) const = default;
};

} // namespace timebase

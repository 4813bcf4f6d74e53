#pragma once

#include "platform/calendar/Date.h"
#include "platform/calendar/DateComponents.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace cal {

// Calendar units, numbered as the product's log lines print them.
enum class Unit : unsigned long {
    year = 4,
    month = 8,
    day = 16,
    hour = 32,
    minute = 64,
    weekOfMonth = 4096,
    weekOfYear = 8192,
};

// The first unit set in `components` in the order year, month, week of month, week of year,
// day, hour, minute; hour when none of them is set. Weekday and second do not count.
Unit highestUnit(const DateComponents& components);

// A span of time: its first second and its length in seconds.
struct DateRange {
    Date start;
    double length;

    bool operator==(const DateRange&) const = default;
};

// The Gregorian calendar with weeks beginning on Monday (the first week of a month or year
// is the one containing its first day), in one time zone. All operations may be called
// from several threads at once, also while another thread changes the zone.
class Calendar {
public:
    // A calendar in `zoneId`; null with `error` filled when the zone is unknown.
    static std::unique_ptr<Calendar> create(const std::string& zoneId, std::string* error);
    ~Calendar();
    Calendar(const Calendar&) = delete;
    Calendar& operator=(const Calendar&) = delete;

    std::string timeZoneId() const;
    // False (with `error` filled), and the zone unchanged, when `zoneId` is unknown.
    bool setTimeZone(const std::string& zoneId, std::string* error);

    // The first date strictly after `after` whose local fields match every field set in
    // `components`. Fields below the smallest one set are at their minimum (second 0, and
    // midnight when no time field is set; the first day of the month, week or year when no
    // day field is set); fields above it that are not set take any value. A wall time that
    // does not exist (daylight-saving gap) matches the first existing time after it; of a
    // repeated wall time only the first occurrence matches. Dates that do not exist (30
    // February) never match. None when nothing matches within 400 years, when a field is
    // out of range (years 1 to 999999), or when `components` is empty.
    std::optional<Date> nextDate(Date after, const DateComponents& components) const;

    // The span of `unit` containing `date`. Weeks (of month and of year alike) are whole
    // seven-day spans from Monday 00:00, not cut at the ends of months or years; days,
    // months and years follow the local wall clock (a day may last 23 or 25 hours).
    std::optional<DateRange> range(Unit unit, Date date) const;

    // `date` moved by every field set in `components`, largest unit first: years, months,
    // weeks, weekdays and days keep the local wall time (the day of the month is clamped to
    // the length of the month), hours, minutes and seconds are elapsed time.
    std::optional<Date> adding(const DateComponents& components, Date date) const;

private:
    struct Parts;
    explicit Calendar(std::unique_ptr<Parts> parts);

    // A private copy of the calendar to compute with outside the lock.
    std::unique_ptr<Parts> working() const;

    mutable std::mutex lock_;
    std::unique_ptr<Parts> parts_;
};

// The process's shared calendar, in the system time zone (kept current by the time-zone
// watcher). Created on first use, never destroyed.
Calendar& sharedCalendar();

} // namespace cal

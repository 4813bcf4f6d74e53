#include "platform/calendar/Calendar.h"

#include "platform/calendar/CivilDate.h"
#include "platform/calendar/TimeZones.h"

#include <climits>
#include <cmath>
#include <unicode/gregocal.h>
#include <unicode/timezone.h>
#include <utility>

namespace cal {

namespace {

constexpr long kSearchDays = 400 * 366; // the Gregorian calendar repeats every 400 years

UDate millisFromDate(Date date) {
    return unixTimeFromDate(date) * 1000.0;
}

Date dateFromMillis(UDate millis) {
    return dateFromUnixTime(millis / 1000.0);
}

struct TimeOfDay {
    int hour;
    int minute;
    int second;

    auto operator<=>(const TimeOfDay&) const = default;
};

struct WallTime {
    CivilDate date;
    TimeOfDay time;
};

// The values one time field may take while matching: a single value, or a whole range.
struct FieldRange {
    int first;
    int last;
};

struct TimeRanges {
    FieldRange hour;
    FieldRange minute;
    FieldRange second;

    std::optional<TimeOfDay> first() const {
        return TimeOfDay{hour.first, minute.first, second.first};
    }

    // The earliest time within the ranges later than `after`.
    std::optional<TimeOfDay> firstAfter(const TimeOfDay& after) const {
        for (int h = std::max(hour.first, after.hour); h <= hour.last; ++h) {
            if (h > after.hour) {
                return TimeOfDay{h, minute.first, second.first};
            }
            for (int m = std::max(minute.first, after.minute); m <= minute.last; ++m) {
                if (m > after.minute) {
                    return TimeOfDay{h, m, second.first};
                }
                const int s = std::max(second.first, after.second + 1);
                if (s <= second.last) {
                    return TimeOfDay{h, m, s};
                }
            }
        }
        return std::nullopt;
    }
};

bool inRange(const std::optional<long>& value, long first, long last) {
    return !value || (*value >= first && *value <= last);
}

bool fieldsInRange(const DateComponents& c) {
    return inRange(c.year, 1, 999999) && inRange(c.month, 1, 12) && inRange(c.day, 1, 31) &&
           inRange(c.weekday, 1, 7) && inRange(c.weekOfMonth, 1, 6) &&
           inRange(c.weekOfYear, 1, 53) && inRange(c.hour, 0, 23) && inRange(c.minute, 0, 59) &&
           inRange(c.second, 0, 59);
}

TimeRanges timeRangesFor(const DateComponents& c) {
    // Fields below the smallest one set are fixed at their minimum; the others are free.
    const bool anyTime = c.hour || c.minute || c.second;
    auto range = [](const std::optional<long>& value, bool free, int last) {
        if (value) {
            return FieldRange{static_cast<int>(*value), static_cast<int>(*value)};
        }
        return FieldRange{0, free ? last : 0};
    };
    return {range(c.hour, anyTime, 23), range(c.minute, c.second.has_value(), 59),
            range(c.second, false, 59)};
}

bool dateFieldsMatch(const CivilDate& d, const DateComponents& c) {
    return (!c.year || *c.year == d.year) && (!c.month || *c.month == d.month) &&
           (!c.day || *c.day == d.day) && (!c.weekday || *c.weekday == d.weekday()) &&
           (!c.weekOfMonth || *c.weekOfMonth == d.weekOfMonth()) &&
           (!c.weekOfYear || *c.weekOfYear == d.weekOfYear());
}

bool dayMatches(const CivilDate& d, const DateComponents& c) {
    if (!dateFieldsMatch(d, c)) {
        return false;
    }
    // Without a day field, only the first day of the matching year, month or week counts.
    const bool periodOnly =
        !c.day && !c.weekday && (c.year || c.month || c.weekOfMonth || c.weekOfYear);
    return !periodOnly || !dateFieldsMatch(CivilDate::fromDayNumber(d.dayNumber() - 1), c);
}

} // namespace

struct Calendar::Parts {
    std::unique_ptr<icu::Calendar> icu;

    WallTime wallTime(Date date, UErrorCode& status) {
        icu->setTime(std::floor(millisFromDate(date)), status);
        auto get = [&](UCalendarDateFields field) {
            return icu->get(field, status);
        };
        return {{get(UCAL_EXTENDED_YEAR), get(UCAL_MONTH) + 1, get(UCAL_DATE)},
                {get(UCAL_HOUR_OF_DAY), get(UCAL_MINUTE), get(UCAL_SECOND)}};
    }

    // The instant of a local wall time; a time in a gap gives the first time after the gap,
    // a repeated time its first occurrence.
    Date dateOf(const CivilDate& day, const TimeOfDay& time, UErrorCode& status) {
        icu->clear();
        icu->set(UCAL_EXTENDED_YEAR, static_cast<int32_t>(day.year));
        icu->set(UCAL_MONTH, day.month - 1);
        icu->set(UCAL_DATE, day.day);
        icu->set(UCAL_HOUR_OF_DAY, time.hour);
        icu->set(UCAL_MINUTE, time.minute);
        icu->set(UCAL_SECOND, time.second);
        return dateFromMillis(icu->getTime(status));
    }

    double offsetSeconds(Date date, UErrorCode& status) {
        int32_t raw = 0;
        int32_t daylight = 0;
        icu->getTimeZone().getOffset(millisFromDate(date), false, raw, daylight, status);
        return (raw + daylight) / 1000.0;
    }
};

Unit highestUnit(const DateComponents& components) {
    if (components.year) {
        return Unit::year;
    }
    if (components.month) {
        return Unit::month;
    }
    if (components.weekOfMonth) {
        return Unit::weekOfMonth;
    }
    if (components.weekOfYear) {
        return Unit::weekOfYear;
    }
    if (components.day) {
        return Unit::day;
    }
    if (components.hour) {
        return Unit::hour;
    }
    if (components.minute) {
        return Unit::minute;
    }
    return Unit::hour;
}

std::unique_ptr<Calendar> Calendar::create(const std::string& zoneId, std::string* error) {
    if (!isKnownTimeZone(zoneId)) {
        if (error) {
            *error = "unknown time zone \"" + zoneId + "\"";
        }
        return nullptr;
    }
    UErrorCode status = U_ZERO_ERROR;
    auto icu = std::make_unique<icu::GregorianCalendar>(
        icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(zoneId)),
        icu::Locale("en_US_POSIX"), status);
    icu->setGregorianChange(U_DATE_MIN, status); // proleptic: no Julian dates
    if (U_FAILURE(status)) {
        if (error) {
            *error = std::string("cannot create a calendar: ") + u_errorName(status);
        }
        return nullptr;
    }
    icu->setFirstDayOfWeek(UCAL_MONDAY);
    icu->setMinimalDaysInFirstWeek(1);
    // The calendar stays lenient: a strict one rejects a wall time in a gap instead of
    // moving it to the next valid time.
    icu->setRepeatedWallTimeOption(UCAL_WALLTIME_FIRST);
    icu->setSkippedWallTimeOption(UCAL_WALLTIME_NEXT_VALID);
    auto parts = std::make_unique<Parts>();
    parts->icu = std::move(icu);
    return std::unique_ptr<Calendar>(new Calendar(std::move(parts)));
}

Calendar::Calendar(std::unique_ptr<Parts> parts) : parts_(std::move(parts)) {}

Calendar::~Calendar() = default;

std::unique_ptr<Calendar::Parts> Calendar::working() const {
    auto copy = std::make_unique<Parts>();
    std::lock_guard guard(lock_);
    copy->icu.reset(parts_->icu->clone());
    return copy;
}

std::string Calendar::timeZoneId() const {
    icu::UnicodeString id;
    {
        std::lock_guard guard(lock_);
        parts_->icu->getTimeZone().getID(id);
    }
    std::string text;
    id.toUTF8String(text);
    return text;
}

bool Calendar::setTimeZone(const std::string& zoneId, std::string* error) {
    if (!isKnownTimeZone(zoneId)) {
        if (error) {
            *error = "unknown time zone \"" + zoneId + "\"";
        }
        return false;
    }
    std::unique_ptr<icu::TimeZone> zone(
        icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(zoneId)));
    std::lock_guard guard(lock_);
    parts_->icu->adoptTimeZone(zone.release());
    return true;
}

std::optional<Date> Calendar::nextDate(Date after, const DateComponents& components) const {
    if (!std::isfinite(after) || components.isEmpty() || !fieldsInRange(components)) {
        return std::nullopt;
    }
    auto work = working();
    UErrorCode status = U_ZERO_ERROR;
    const WallTime start = work->wallTime(after, status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    if (components.year && *components.year < start.date.year) {
        return std::nullopt;
    }
    const TimeRanges times = timeRangesFor(components);
    long dayNumber = start.date.dayNumber();
    bool onStartDay = true; // candidates of the first day must be later than start.time
    if (components.year && *components.year > start.date.year) {
        dayNumber = CivilDate{*components.year, 1, 1}.dayNumber();
        onStartDay = false;
    }
    for (const long end = dayNumber + kSearchDays; dayNumber < end; ++dayNumber) {
        const CivilDate day = CivilDate::fromDayNumber(dayNumber);
        if (components.year && day.year > *components.year) {
            return std::nullopt;
        }
        const bool firstDay = std::exchange(onStartDay, false);
        if (!dayMatches(day, components)) {
            continue;
        }
        for (auto time = firstDay ? times.firstAfter(start.time) : times.first(); time;
             time = times.firstAfter(*time)) {
            const Date candidate = work->dateOf(day, *time, status);
            if (U_FAILURE(status)) {
                return std::nullopt;
            }
            // In a repeated hour a later wall time can still lie before `after`.
            if (candidate > after) {
                return candidate;
            }
        }
    }
    return std::nullopt;
}

std::optional<DateRange> Calendar::range(Unit unit, Date date) const {
    if (!std::isfinite(date)) {
        return std::nullopt;
    }
    auto work = working();
    UErrorCode status = U_ZERO_ERROR;
    if (unit == Unit::hour || unit == Unit::minute) {
        // Elapsed-time units: aligned to the local clock, whatever offset is in force.
        const double length = unit == Unit::hour ? 3600.0 : 60.0;
        const double local = unixTimeFromDate(date) + work->offsetSeconds(date, status);
        const double intoUnit = local - std::floor(local / length) * length;
        return U_FAILURE(status) ? std::nullopt
                                 : std::optional<DateRange>(DateRange{date - intoUnit, length});
    }
    const CivilDate day = work->wallTime(date, status).date;
    CivilDate first = day;
    CivilDate next = day;
    switch (unit) {
    case Unit::year:
        first = {day.year, 1, 1};
        next = {day.year + 1, 1, 1};
        break;
    case Unit::month:
        first = {day.year, day.month, 1};
        next =
            day.month == 12 ? CivilDate{day.year + 1, 1, 1} : CivilDate{day.year, day.month + 1, 1};
        break;
    case Unit::weekOfMonth:
    case Unit::weekOfYear:
        first = CivilDate::fromDayNumber(day.dayNumber() - day.daysSinceMonday());
        next = CivilDate::fromDayNumber(first.dayNumber() + 7);
        break;
    case Unit::day:
        next = CivilDate::fromDayNumber(day.dayNumber() + 1);
        break;
    case Unit::hour:
    case Unit::minute:
        break;
    }
    const Date start = work->dateOf(first, {0, 0, 0}, status);
    const Date end = work->dateOf(next, {0, 0, 0}, status);
    if (U_FAILURE(status) || !(start <= date && date < end)) {
        return std::nullopt;
    }
    return DateRange{start, end - start};
}

std::optional<Date> Calendar::adding(const DateComponents& components, Date date) const {
    if (!std::isfinite(date)) {
        return std::nullopt;
    }
    // The calendar counts whole milliseconds; the rest is carried over unchanged.
    const double millis = millisFromDate(date);
    const double whole = std::floor(millis);
    auto work = working();
    UErrorCode status = U_ZERO_ERROR;
    work->icu->setTime(whole, status);
    const std::pair<const std::optional<long>*, UCalendarDateFields> steps[] = {
        {&components.year, UCAL_YEAR},
        {&components.month, UCAL_MONTH},
        {&components.weekOfYear, UCAL_WEEK_OF_YEAR},
        {&components.weekOfMonth, UCAL_WEEK_OF_MONTH},
        {&components.weekday, UCAL_DAY_OF_WEEK},
        {&components.day, UCAL_DATE},
        {&components.hour, UCAL_HOUR_OF_DAY},
        {&components.minute, UCAL_MINUTE},
        {&components.second, UCAL_SECOND},
    };
    for (const auto& [amount, field] : steps) {
        if (!*amount || **amount == 0) {
            continue;
        }
        if (**amount < INT32_MIN || **amount > INT32_MAX) {
            return std::nullopt;
        }
        work->icu->add(field, static_cast<int32_t>(**amount), status);
    }
    const UDate result = work->icu->getTime(status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    return dateFromMillis(result + (millis - whole));
}

Calendar& sharedCalendar() {
    static Calendar* const calendar = [] {
        std::string error;
        auto created = Calendar::create(SystemTimeZone::id(), &error);
        if (!created) {
            created = Calendar::create("UTC", &error);
        }
        return created.release();
    }();
    return *calendar;
}

} // namespace cal

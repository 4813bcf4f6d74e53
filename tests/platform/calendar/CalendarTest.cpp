#include "platform/calendar/Calendar.h"

#include "platform/calendar/CivilDate.h"
#include "tests/support/TestDates.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <unicode/gregocal.h>
#include <vector>

namespace {

using cal::Calendar;
using cal::DateComponents;
using cal::DateRange;
using cal::Unit;
using testsupport::kDay;
using testsupport::kHour;
using testsupport::utc;

std::unique_ptr<Calendar> calendarIn(const std::string& zone) {
    std::string error;
    auto calendar = Calendar::create(zone, &error);
    EXPECT_NE(calendar, nullptr) << error;
    return calendar;
}

DateComponents hm(long hour, long minute) {
    DateComponents c;
    c.hour = hour;
    c.minute = minute;
    return c;
}

TEST(CivilDateTest, AgreesWithTheLibraryCalendarDayByDay) {
    // The library's Gregorian calendar with weeks from Monday and 1-day first weeks is the
    // oracle for weekday and week numbers, 2019 to 2032 (includes leap years and years
    // starting on every weekday).
    UErrorCode status = U_ZERO_ERROR;
    icu::GregorianCalendar oracle(icu::TimeZone::createTimeZone("UTC"), status);
    ASSERT_TRUE(U_SUCCESS(status));
    oracle.setFirstDayOfWeek(UCAL_MONDAY);
    oracle.setMinimalDaysInFirstWeek(1);
    const long first = cal::CivilDate{2019, 1, 1}.dayNumber();
    const long last = cal::CivilDate{2032, 12, 31}.dayNumber();
    for (long n = first; n <= last; ++n) {
        const auto d = cal::CivilDate::fromDayNumber(n);
        ASSERT_EQ(d.dayNumber(), n);
        oracle.setTime(n * kDay * 1000.0, status);
        ASSERT_EQ(d.year, oracle.get(UCAL_YEAR, status));
        ASSERT_EQ(d.month, oracle.get(UCAL_MONTH, status) + 1);
        ASSERT_EQ(d.day, oracle.get(UCAL_DATE, status));
        ASSERT_EQ(d.weekday(), oracle.get(UCAL_DAY_OF_WEEK, status)) << n;
        ASSERT_EQ(d.weekOfMonth(), oracle.get(UCAL_WEEK_OF_MONTH, status)) << n;
        ASSERT_EQ(d.weekOfYear(), oracle.get(UCAL_WEEK_OF_YEAR, status)) << n;
    }
    EXPECT_EQ((cal::CivilDate{2001, 1, 1}.dayNumber()), 11323); // the reference date
    EXPECT_EQ(cal::CivilDate::daysInMonth(2024, 2), 29);
    EXPECT_EQ(cal::CivilDate::daysInMonth(2100, 2), 28);
    EXPECT_EQ(cal::CivilDate::daysInMonth(2000, 2), 29);
}

TEST(CalendarTest, HighestUnitFollowsTheFixedOrderAndDefaultsToHour) {
    DateComponents c;
    EXPECT_EQ(cal::highestUnit(c), Unit::hour);
    c.weekday = 3;
    c.second = 5;
    EXPECT_EQ(cal::highestUnit(c), Unit::hour);
    c.minute = 10;
    EXPECT_EQ(cal::highestUnit(c), Unit::minute);
    c.day = 1;
    EXPECT_EQ(cal::highestUnit(c), Unit::day);
    c.weekOfYear = 1;
    EXPECT_EQ(cal::highestUnit(c), Unit::weekOfYear);
    c.weekOfMonth = 1;
    EXPECT_EQ(cal::highestUnit(c), Unit::weekOfMonth);
    c.month = 1;
    EXPECT_EQ(cal::highestUnit(c), Unit::month);
    c.year = 1;
    EXPECT_EQ(cal::highestUnit(c), Unit::year);
    EXPECT_EQ(static_cast<unsigned long>(Unit::weekOfMonth), 4096u);
    EXPECT_EQ(static_cast<unsigned long>(Unit::weekOfYear), 8192u);
}

TEST(CalendarTest, CreationAndZoneChangeRejectUnknownZones) {
    std::string error;
    EXPECT_EQ(Calendar::create("Nowhere/Bogus", &error), nullptr);
    EXPECT_NE(error.find("Nowhere/Bogus"), std::string::npos);
    auto calendar = calendarIn("Europe/Berlin");
    EXPECT_FALSE(calendar->setTimeZone("Mars/Olympus", &error));
    EXPECT_EQ(calendar->timeZoneId(), "Europe/Berlin");
    EXPECT_TRUE(calendar->setTimeZone("America/New_York", &error));
    EXPECT_EQ(calendar->timeZoneId(), "America/New_York");
}

TEST(CalendarNextDateTest, HourAndMinuteIsStrictlyLaterWithSecondsAtZero) {
    auto berlin = calendarIn("Europe/Berlin"); // winter: UTC+1
    // 2026-01-14 10:00:20 local → 14:30 the same day.
    EXPECT_EQ(berlin->nextDate(utc(2026, 1, 14, 9, 0, 20), hm(14, 30)), utc(2026, 1, 14, 13, 30));
    // Exactly at 14:30 → tomorrow; a fraction before → today.
    EXPECT_EQ(berlin->nextDate(utc(2026, 1, 14, 13, 30), hm(14, 30)), utc(2026, 1, 15, 13, 30));
    EXPECT_EQ(berlin->nextDate(utc(2026, 1, 14, 13, 29, 59.5), hm(14, 30)),
              utc(2026, 1, 14, 13, 30));
    // Across a year end.
    EXPECT_EQ(berlin->nextDate(utc(2026, 12, 31, 23, 0), hm(0, 15)), utc(2026, 12, 31, 23, 15));
    // Hour only: minute and second at zero.
    DateComponents hour;
    hour.hour = 6;
    EXPECT_EQ(berlin->nextDate(utc(2026, 1, 14, 9, 0), hour), utc(2026, 1, 15, 5, 0));
}

TEST(CalendarNextDateTest, WeekdayCountsFromSundayWhateverTheFirstWeekday) {
    auto newYork = calendarIn("America/New_York"); // January: UTC-5
    DateComponents sunday = hm(9, 30);
    sunday.weekday = 1;
    // Wednesday 2026-01-14 → Sunday 2026-01-18 09:30.
    EXPECT_EQ(newYork->nextDate(utc(2026, 1, 14, 15, 0), sunday), utc(2026, 1, 18, 14, 30));
    DateComponents saturday = hm(23, 0);
    saturday.weekday = 7;
    EXPECT_EQ(newYork->nextDate(utc(2026, 1, 14, 15, 0), saturday), utc(2026, 1, 18, 4, 0));
    DateComponents monday;
    monday.weekday = 2; // no time set: midnight
    EXPECT_EQ(newYork->nextDate(utc(2026, 1, 14, 15, 0), monday), utc(2026, 1, 19, 5, 0));
}

TEST(CalendarNextDateTest, MinuteOnlyMatchesEveryHour) {
    auto berlin = calendarIn("Europe/Berlin");
    DateComponents half;
    half.minute = 30;
    EXPECT_EQ(berlin->nextDate(utc(2026, 1, 14, 9, 45, 10), half), utc(2026, 1, 14, 10, 30));
    EXPECT_EQ(berlin->nextDate(utc(2026, 1, 14, 9, 29, 59), half), utc(2026, 1, 14, 9, 30));
    EXPECT_EQ(berlin->nextDate(utc(2026, 1, 14, 22, 45), half), utc(2026, 1, 14, 23, 30));
}

TEST(CalendarNextDateTest, TimesInADaylightSavingGapMoveToTheEndOfTheGap) {
    // Berlin, 2024-03-31: 02:00 CET jumps to 03:00 CEST (01:00 UTC).
    auto berlin = calendarIn("Europe/Berlin");
    const auto gap = berlin->nextDate(utc(2024, 3, 30, 12, 0), hm(2, 30));
    EXPECT_EQ(gap, utc(2024, 3, 31, 1, 0));
    EXPECT_EQ(berlin->nextDate(*gap, hm(2, 30)), utc(2024, 4, 1, 0, 30));
    // New York, 2024-03-10: 02:00 EST jumps to 03:00 EDT (07:00 UTC).
    auto newYork = calendarIn("America/New_York");
    EXPECT_EQ(newYork->nextDate(utc(2024, 3, 9, 12, 0), hm(2, 30)), utc(2024, 3, 10, 7, 0));
    EXPECT_EQ(newYork->nextDate(utc(2024, 3, 9, 12, 0), hm(3, 30)), utc(2024, 3, 10, 7, 30));
}

TEST(CalendarNextDateTest, ARepeatedTimeMatchesOnlyItsFirstOccurrence) {
    // Berlin, 2024-10-27: 03:00 CEST falls back to 02:00 CET; 02:30 exists twice.
    auto berlin = calendarIn("Europe/Berlin");
    const auto first = berlin->nextDate(utc(2024, 10, 26, 12, 0), hm(2, 30));
    EXPECT_EQ(first, utc(2024, 10, 27, 0, 30)); // 02:30 CEST
    // The second occurrence (01:30 UTC) is skipped, also when asked from between the two.
    EXPECT_EQ(berlin->nextDate(*first, hm(2, 30)), utc(2024, 10, 28, 1, 30));
    EXPECT_EQ(berlin->nextDate(utc(2024, 10, 27, 1, 0), hm(2, 30)), utc(2024, 10, 28, 1, 30));
    // New York, 2024-11-03: 01:30 EDT (05:30 UTC) comes before 01:30 EST.
    auto newYork = calendarIn("America/New_York");
    EXPECT_EQ(newYork->nextDate(utc(2024, 11, 2, 12, 0), hm(1, 30)), utc(2024, 11, 3, 5, 30));
}

TEST(CalendarNextDateTest, DateFieldsAndLeapDays) {
    auto utcCalendar = calendarIn("UTC");
    DateComponents leapDay;
    leapDay.month = 2;
    leapDay.day = 29;
    EXPECT_EQ(utcCalendar->nextDate(utc(2024, 2, 29, 0, 0), leapDay), utc(2028, 2, 29));
    EXPECT_EQ(utcCalendar->nextDate(utc(2024, 2, 28, 12, 0), leapDay), utc(2024, 2, 29));
    DateComponents thirtyFirst;
    thirtyFirst.day = 31;
    EXPECT_EQ(utcCalendar->nextDate(utc(2026, 4, 2), thirtyFirst), utc(2026, 5, 31));
    DateComponents march; // no day field: the first day of the month
    march.month = 3;
    EXPECT_EQ(utcCalendar->nextDate(utc(2026, 3, 10), march), utc(2027, 3, 1));
    DateComponents secondWeek; // the Monday that starts week 2 of the month
    secondWeek.weekOfMonth = 2;
    EXPECT_EQ(utcCalendar->nextDate(utc(2026, 3, 10), secondWeek), utc(2026, 4, 6));
    DateComponents year;
    year.year = 2030;
    EXPECT_EQ(utcCalendar->nextDate(utc(2026, 3, 10), year), utc(2030, 1, 1));
    year.year = 2020;
    EXPECT_EQ(utcCalendar->nextDate(utc(2026, 3, 10), year), std::nullopt);
}

TEST(CalendarNextDateTest, ImpossibleOrEmptyComponentsGiveNoDate) {
    auto calendar = calendarIn("UTC");
    DateComponents february30;
    february30.month = 2;
    february30.day = 30;
    EXPECT_EQ(calendar->nextDate(utc(2026, 1, 1), february30), std::nullopt);
    EXPECT_EQ(calendar->nextDate(utc(2026, 1, 1), hm(24, 0)), std::nullopt);
    EXPECT_EQ(calendar->nextDate(utc(2026, 1, 1), hm(12, -1)), std::nullopt);
    DateComponents weekday8;
    weekday8.weekday = 8;
    EXPECT_EQ(calendar->nextDate(utc(2026, 1, 1), weekday8), std::nullopt);
    EXPECT_EQ(calendar->nextDate(utc(2026, 1, 1), DateComponents{}), std::nullopt);
}

TEST(CalendarRangeTest, WeeksAreWholeMondayToMondaySpansAcrossYearEnds) {
    auto berlin = calendarIn("Europe/Berlin");
    // Tuesday 2024-12-31 and Thursday 2026-01-01 lie in weeks starting in December.
    const DateRange week2024{utc(2024, 12, 29, 23, 0), 7 * kDay};
    EXPECT_EQ(berlin->range(Unit::weekOfMonth, utc(2024, 12, 31, 12, 0)), week2024);
    EXPECT_EQ(berlin->range(Unit::weekOfYear, utc(2025, 1, 5, 22, 59, 59)), week2024);
    const DateRange week2025{utc(2025, 12, 28, 23, 0), 7 * kDay};
    EXPECT_EQ(berlin->range(Unit::weekOfYear, utc(2026, 1, 1, 8, 0)), week2025);
    // Monday 00:00 itself starts its week.
    EXPECT_EQ(berlin->range(Unit::weekOfMonth, utc(2024, 12, 29, 23, 0)), week2024);
    // The week of the spring-forward night is an hour short.
    EXPECT_EQ(berlin->range(Unit::weekOfMonth, utc(2024, 3, 28)),
              (DateRange{utc(2024, 3, 24, 23, 0), 7 * kDay - kHour}));
}

TEST(CalendarRangeTest, DaysMonthsAndYearsFollowTheWallClock) {
    auto berlin = calendarIn("Europe/Berlin");
    EXPECT_EQ(berlin->range(Unit::day, utc(2024, 3, 31, 12, 0)),
              (DateRange{utc(2024, 3, 30, 23, 0), 23 * kHour}));
    EXPECT_EQ(berlin->range(Unit::day, utc(2024, 10, 27, 12, 0)),
              (DateRange{utc(2024, 10, 26, 22, 0), 25 * kHour}));
    EXPECT_EQ(berlin->range(Unit::month, utc(2024, 2, 10)),
              (DateRange{utc(2024, 1, 31, 23, 0), 29 * kDay}));
    EXPECT_EQ(berlin->range(Unit::month, utc(2024, 3, 10)),
              (DateRange{utc(2024, 2, 29, 23, 0), 31 * kDay - kHour}));
    EXPECT_EQ(berlin->range(Unit::year, utc(2024, 7, 1)),
              (DateRange{utc(2023, 12, 31, 23, 0), 366 * kDay}));
    // 2025-01-01 00:30 local is still 2024 in UTC, but belongs to the local year 2025.
    EXPECT_EQ(berlin->range(Unit::year, utc(2024, 12, 31, 23, 30)),
              (DateRange{utc(2024, 12, 31, 23, 0), 365 * kDay}));
}

TEST(CalendarRangeTest, HoursAndMinutesFollowTheLocalClockAndTheRepeatedHour) {
    auto berlin = calendarIn("Europe/Berlin");
    // 02:30 CET, the second 02:30 of 2024-10-27: its hour is the second 02:00-03:00.
    EXPECT_EQ(berlin->range(Unit::hour, utc(2024, 10, 27, 1, 30)),
              (DateRange{utc(2024, 10, 27, 1, 0), kHour}));
    EXPECT_EQ(berlin->range(Unit::minute, utc(2024, 10, 27, 1, 30, 42.5)),
              (DateRange{utc(2024, 10, 27, 1, 30), 60}));
    auto kolkata = calendarIn("Asia/Kolkata"); // UTC+5:30: local hours start at :30 UTC
    EXPECT_EQ(kolkata->range(Unit::hour, utc(2026, 1, 14, 10, 10)),
              (DateRange{utc(2026, 1, 14, 9, 30), kHour}));
}

TEST(CalendarAddingTest, CalendarUnitsKeepTheWallTimeAndClockUnitsElapse) {
    auto berlin = calendarIn("Europe/Berlin");
    DateComponents oneDay;
    oneDay.day = 1;
    // Saturday 12:00 CET + 1 day = Sunday 12:00 CEST, 23 hours later.
    EXPECT_EQ(berlin->adding(oneDay, utc(2024, 3, 30, 11, 0)), utc(2024, 3, 31, 10, 0));
    DateComponents day24;
    day24.hour = 24;
    EXPECT_EQ(berlin->adding(day24, utc(2024, 3, 30, 11, 0)), utc(2024, 3, 31, 11, 0));
    DateComponents month;
    month.month = 1;
    // 31 January + 1 month = 29 February in a leap year.
    EXPECT_EQ(berlin->adding(month, utc(2024, 1, 31, 9, 0)), utc(2024, 2, 29, 9, 0));
    DateComponents week;
    week.weekOfMonth = 2;
    week.minute = 30;
    EXPECT_EQ(berlin->adding(week, utc(2026, 1, 14, 9, 0, 0.25)), utc(2026, 1, 28, 9, 30, 0.25));
    DateComponents back;
    back.day = -1;
    EXPECT_EQ(berlin->adding(back, utc(2024, 3, 1, 11, 0)), utc(2024, 2, 29, 11, 0));
    EXPECT_EQ(berlin->adding(DateComponents{}, 12345.5), 12345.5);
}

TEST(CalendarTest, ComputesWhileAnotherThreadChangesTheZone) {
    auto calendar = calendarIn("Europe/Berlin");
    const auto winter = utc(2026, 1, 14, 0, 0);
    const cal::Date berlinAnswer = utc(2026, 1, 14, 13, 30);
    const cal::Date tokyoAnswer = utc(2026, 1, 14, 5, 30);
    std::atomic<bool> stop{false};
    std::thread changer([&] {
        std::string error;
        for (int i = 0; !stop.load(); ++i) {
            calendar->setTimeZone(i % 2 ? "Europe/Berlin" : "Asia/Tokyo", &error);
        }
    });
    std::vector<std::thread> workers;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 2; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                const auto next = calendar->nextDate(winter, hm(14, 30));
                if (next != berlinAnswer && next != tokyoAnswer) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    stop = true;
    changer.join();
    EXPECT_EQ(wrong.load(), 0);
}

} // namespace

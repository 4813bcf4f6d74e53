#include "platform/calendar/DateFormatter.h"

#include "platform/calendar/TimeZones.h"
#include "tests/support/TestDates.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace {

using cal::DateFormatter;
using testsupport::utc;

std::unique_ptr<DateFormatter> logFormatter(const std::optional<std::string>& zone) {
    std::string error;
    auto formatter = DateFormatter::withPattern(cal::kLogDatePattern, "en_US_POSIX", zone, &error);
    EXPECT_NE(formatter, nullptr) << error;
    return formatter;
}

TEST(DateFormatterTest, LogPatternInFixedZones) {
    const auto berlin = logFormatter("Europe/Berlin");
    EXPECT_EQ(berlin->format(utc(2026, 12, 8, 2, 0, 0.9)), "8/Dec/26, 03:00:00+0100");
    EXPECT_EQ(berlin->format(utc(2026, 7, 19, 22, 5, 9)), "20/Jul/26, 00:05:09+0200");
    EXPECT_EQ(logFormatter("America/New_York")->format(utc(2027, 1, 1, 4, 59, 59)),
              "31/Dec/26, 23:59:59-0500");
    EXPECT_EQ(logFormatter("UTC")->format(0), "1/Jan/01, 00:00:00+0000");
}

TEST(DateFormatterTest, BufferFormattingReportsWhatFits) {
    const auto berlin = logFormatter("Europe/Berlin");
    char buffer[32];
    const auto length = berlin->format(utc(2026, 12, 8, 2, 0), buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer, length), "8/Dec/26, 03:00:00+0100");
    EXPECT_EQ(buffer[length], '\0');
    char small[23]; // the text is 23 bytes: no room for the terminator
    EXPECT_EQ(berlin->format(utc(2026, 12, 8, 2, 0), small, sizeof small), 0u);
    EXPECT_EQ(small[0], '\0');
}

TEST(DateFormatterTest, FollowsTheSystemZoneWhenGivenNone) {
    cal::SystemTimeZone::set("Asia/Tokyo");
    const auto system = logFormatter(std::nullopt);
    EXPECT_EQ(system->format(utc(2026, 12, 8, 2, 0)), "8/Dec/26, 11:00:00+0900");
    cal::SystemTimeZone::set("America/New_York");
    EXPECT_EQ(system->format(utc(2026, 12, 8, 2, 0)), "7/Dec/26, 21:00:00-0500");
    char buffer[64];
    const auto length = cal::formatLogDate(utc(2026, 12, 8, 2, 0), buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer, length), "7/Dec/26, 21:00:00-0500");
}

TEST(DateFormatterTest, LocaleStyles) {
    std::string error;
    const auto date = utc(2026, 12, 8, 14, 5, 9);
    auto germanShort = DateFormatter::withShortDate(DateFormatter::TimeStyle::shortTime, "de_DE",
                                                    "Europe/Berlin", &error);
    ASSERT_NE(germanShort, nullptr) << error;
    EXPECT_EQ(germanShort->format(date), "08.12.26, 15:05");
    auto germanMedium = DateFormatter::withShortDate(DateFormatter::TimeStyle::mediumTime, "de_DE",
                                                     "Europe/Berlin", &error);
    EXPECT_EQ(germanMedium->format(date), "08.12.26, 15:05:09");
    // A locale without data falls back to en_US_POSIX rather than the root locale.
    auto unknown =
        DateFormatter::withShortDate(DateFormatter::TimeStyle::shortTime, "xx_YY", "UTC", &error);
    auto posix = DateFormatter::withShortDate(DateFormatter::TimeStyle::shortTime, "en_US_POSIX",
                                              "UTC", &error);
    EXPECT_EQ(unknown->format(date), posix->format(date));
    EXPECT_NE(posix->format(date).find("12/8/26"), std::string::npos) << posix->format(date);
}

TEST(DateFormatterTest, UserLocaleFromTheEnvironment) {
    ::unsetenv("LC_ALL");
    ::unsetenv("LC_TIME");
    ::unsetenv("LANG");
    EXPECT_EQ(cal::userLocaleId(), "en_US_POSIX");
    ::setenv("LANG", "fr_FR.UTF-8", 1);
    EXPECT_EQ(cal::userLocaleId(), "fr_FR");
    ::setenv("LC_TIME", "de_DE.UTF-8@euro", 1);
    EXPECT_EQ(cal::userLocaleId(), "de_DE");
    ::setenv("LC_ALL", "C", 1);
    EXPECT_EQ(cal::userLocaleId(), "en_US_POSIX");
    ::unsetenv("LC_ALL");
    ::unsetenv("LC_TIME");
    ::unsetenv("LANG");
}

TEST(DateFormatterTest, ParsesLogTimestampsWholeOrNotAtAll) {
    EXPECT_EQ(cal::parseLogTimestamp("2026.12.08 03:00:00.250000+0100"),
              utc(2026, 12, 8, 2, 0, 0.25));
    EXPECT_EQ(cal::parseLogTimestamp("2024.02.29 23:59:59.000000-0500"),
              utc(2024, 3, 1, 4, 59, 59));
    EXPECT_EQ(cal::parseLogTimestamp(""), std::nullopt);
    EXPECT_EQ(cal::parseLogTimestamp("2026-12-08 03:00:00.250000+0100"), std::nullopt);
    EXPECT_EQ(cal::parseLogTimestamp("2026.12.08 03:00:00.250000+0100 trailing"), std::nullopt);
    EXPECT_EQ(cal::parseLogTimestamp("2026.13.08 03:00:00.250000+0100"), std::nullopt);
    EXPECT_EQ(cal::parseLogTimestamp("2025.02.29 03:00:00.250000+0100"), std::nullopt);
}

} // namespace

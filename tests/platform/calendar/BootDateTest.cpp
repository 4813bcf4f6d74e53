#include "platform/calendar/BootDate.h"

#include "platform/calendar/Date.h"
#include "platform/dispatch/VirtualClock.h"
#include "platform/time/CivilDate.h"
#include "tests/support/TempFolder.h"

#include <fstream>
#include <gtest/gtest.h>

namespace {

TEST(BootDateTest, ReadsTheWholeSecondsOfTheBtimeLine) {
    const char* stat = "cpu  10 20 30\nintr 5 0 0\nctxt 99\nbtime 1700000000\nprocesses 7\n";
    EXPECT_EQ(cal::bootDateFromProcStat(stat), cal::dateFromUnixTime(1700000000));
    EXPECT_EQ(cal::bootDateFromProcStat("btime 978307200"), 0.0); // no final newline
}

TEST(BootDateTest, MalformedOrMissingBtimeGivesNone) {
    for (const char* text :
         {"", "cpu 1 2 3\n", "btime\n", "btime \n", "btime abc\n", "btime -5\n", "btime 12x\n",
          "btime 1.5\n", "xbtime 5\n", "btime 99999999999999999999999\n"}) {
        EXPECT_EQ(cal::bootDateFromProcStat(text), std::nullopt) << text;
    }
}

TEST(BootDateTest, ReadsAFileOrTheRealSystem) {
    testsupport::TempFolder folder;
    const auto path = folder.path() / "stat";
    std::ofstream(path) << "cpu 1\nbtime 1000000000\n";
    EXPECT_EQ(cal::readBootDate(path), cal::dateFromUnixTime(1000000000));
    EXPECT_EQ(cal::readBootDate(folder.path() / "missing"), std::nullopt);
    // This machine booted after 2001 (if it offers /proc at all).
    if (const auto boot = cal::readBootDate()) {
        EXPECT_GT(*boot, 0.0);
    }
}

} // namespace

namespace {

TEST(TimeBase, CalendarAndPropertyListsShareTheReferenceDate) {
    EXPECT_EQ(timebase::CivilDate::fromDayNumber(timebase::kReferenceDayNumber),
              (timebase::CivilDate{2001, 1, 1}));
    EXPECT_EQ(cal::dateFromUnixTime(1796698800.5),
              timebase::Date::fromUnixTime(1796698800.5).secondsSinceReferenceDate);
    // Now comes from the runtime's clock.
    dispatch::VirtualClock& clock = dispatch::VirtualClock::install();
    clock.setWall(std::chrono::seconds(1796698800));
    EXPECT_EQ(cal::now(), cal::dateFromUnixTime(1796698800));
}

} // namespace

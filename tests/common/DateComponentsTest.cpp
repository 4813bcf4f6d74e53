#include "common/VRNDateComponents.h"

#include <gtest/gtest.h>

namespace {

TEST(VRNDateComponentsTest, EachConstructorSetsExactlyOneUnit) {
    cal::DateComponents expected;
    expected.minute = 90;
    EXPECT_EQ(componentsWithMinutes(90), expected);
    expected = {};
    expected.hour = 3;
    EXPECT_EQ(componentsWithHours(3), expected);
    expected = {};
    expected.day = 7;
    EXPECT_EQ(componentsWithDays(7), expected);

    auto weeks = componentsWithWeeks(2);
    EXPECT_EQ(weeks.weekOfMonth, 2);
    EXPECT_FALSE(weeks.weekOfYear.has_value());
    EXPECT_FALSE(weeks.hour.has_value());
    weeks.weekOfMonth.reset();
    EXPECT_TRUE(weeks.isEmpty());
}

} // namespace

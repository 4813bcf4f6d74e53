#include "platform/calendar/DateComponents.h"

#include <gtest/gtest.h>

namespace {

TEST(DateComponentsTest, EqualityAndDescriptionCoverOnlySetFields) {
    cal::DateComponents a;
    EXPECT_TRUE(a.isEmpty());
    EXPECT_EQ(a.description(), "{}");
    a.hour = 14;
    a.minute = 30;
    cal::DateComponents b;
    b.minute = 30;
    EXPECT_NE(a, b);
    b.hour = 14;
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.description(), "{\n    hour = 14;\n    minute = 30;\n}");
}

} // namespace

#include "platform/plist/Value.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

namespace {

using plist::Array;
using plist::Data;
using plist::Date;
using plist::Dictionary;
using plist::Value;

TEST(PlistValue, NumbersCompareByValueAcrossKinds) {
    EXPECT_EQ(Value(true), Value(1));
    EXPECT_EQ(Value(1), Value(1.0));
    EXPECT_EQ(Value(false), Value(0.0));
    EXPECT_NE(Value(true), Value(2));
    EXPECT_NE(Value(1), Value(1.5));
    EXPECT_NE(Value(1), Value("1"));
    // 2^63 is not INT64_MAX even though converting it to double rounds to 2^63.
    EXPECT_NE(Value(std::numeric_limits<std::int64_t>::max()), Value(9223372036854775808.0));
    EXPECT_EQ(Value(std::numeric_limits<std::int64_t>::min()), Value(-9223372036854775808.0));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_NE(Value(nan), Value(nan));
    EXPECT_NE(Value(nan), Value(0));
    EXPECT_TRUE(Value(true).isNumber() && Value(2).isNumber() && Value(2.5).isNumber());
    EXPECT_FALSE(Value("2").isNumber() || Value(Date{2}).isNumber());
}

TEST(PlistValue, DeepEqualityFollowsTheNumberRuleAndKindsWhenAsked) {
    const Value settings(Dictionary{{"Backups", 1}, {"Interval", Array{Value(3600), "h"}}});
    const Value edited(Dictionary{{"Backups", true}, {"Interval", Array{Value(3600.0), "h"}}});
    EXPECT_EQ(settings, edited);
    EXPECT_FALSE(settings.isIdenticalTo(edited));
    EXPECT_TRUE(settings.isIdenticalTo(Value(settings)));
    EXPECT_NE(settings, Value(Dictionary{{"Backups", 1}}));
    EXPECT_NE(Value(Array{}), Value(Dictionary{}));
    EXPECT_NE(Value(Data{1, 2}), Value(Data{1, 3}));
    EXPECT_EQ(Value(Date{-1.5}), Value(Date{-1.5}));
}

TEST(PlistValue, NumberConversions) {
    EXPECT_EQ(Value(true).asInteger(), 1);
    EXPECT_EQ(Value(-2.9).asInteger(), -2);
    EXPECT_EQ(Value(1e300).asInteger(), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(Value(-1e300).asInteger(), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(Value(std::numeric_limits<double>::quiet_NaN()).asInteger(), 0);
    EXPECT_EQ(Value(0.25).asBoolean(), true);
    EXPECT_EQ(Value(0).asBoolean(), false);
    EXPECT_EQ(Value(7).asReal(), 7.0);
    EXPECT_EQ(Value("7").asInteger(), std::nullopt);
    EXPECT_EQ(Value(Date{3}).asDate(), Date{3});
}

TEST(PlistValue, CopiesShareStorageUntilMutated) {
    Value original(Dictionary{{"a", Array{Value(1), Value(2)}}});
    Value copy = original;
    EXPECT_EQ(copy.asDictionary(), original.asDictionary());

    copy.mutableDictionary().insert_or_assign("b", Value("new"));
    EXPECT_NE(copy.asDictionary(), original.asDictionary());
    EXPECT_EQ(original.asDictionary()->size(), 1u);
    EXPECT_EQ(copy.asDictionary()->size(), 2u);

    Value array = *original.find("a");
    array.mutableArray().push_back(Value(3));
    EXPECT_EQ(original.find("a")->asArray()->size(), 2u);
    EXPECT_EQ(array.asArray()->size(), 3u);
    EXPECT_EQ(copy.find("missing"), nullptr);
    EXPECT_EQ(array.find("a"), nullptr);
}

TEST(PlistValue, DatesConvertToUnixTime) {
    EXPECT_EQ(Date::fromUnixTime(978307200).secondsSinceReferenceDate, 0);
    EXPECT_EQ(Date{-978307200}.unixTime(), 0);
    EXPECT_EQ(Date::fromUnixTime(Date{123.25}.unixTime()), Date{123.25});
}

} // namespace

#include "platform/plist/Value.h"

#include <gtest/gtest.h>
#include <limits>

namespace {

using plist::Array;
using plist::Data;
using plist::Date;
using plist::Dictionary;
using plist::Value;

TEST(PlistDescription, Scalars) {
    EXPECT_EQ(description(Value("two words")), "two words");
    EXPECT_EQ(description(Value(-42)), "-42");
    EXPECT_EQ(description(Value(true)), "1");
    EXPECT_EQ(description(Value(false)), "0");
    EXPECT_EQ(description(Value(0.1)), "0.1");
    EXPECT_EQ(description(Value(3.0)), "3");
    EXPECT_EQ(description(Value(std::numeric_limits<double>::infinity())), "inf");
    EXPECT_EQ(description(Value(Data{0x00, 0x01, 0xff})), "{length = 3, bytes = 0x0001ff}");
    EXPECT_EQ(description(Value(Data{})), "{length = 0, bytes = 0x}");
    EXPECT_EQ(description(static_cast<const Value*>(nullptr)), "(null)");
    EXPECT_EQ(description(std::optional<Value>()), "(null)");
}

TEST(PlistDescription, LongDataShowsItsEnds) {
    Data data(40);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i);
    }
    EXPECT_EQ(description(Value(data)), "{length = 40, bytes = 0x00010203 04050607 08090a0b "
                                        "0c0d0e0f ... 20212223 24252627 }");
}

TEST(PlistDescription, Dates) {
    // 2026-12-08 03:00:00 UTC
    EXPECT_EQ(description(Value(Date::fromUnixTime(1796698800))), "2026-12-08 03:00:00 +0000");
    EXPECT_EQ(description(Value(Date{0})), "2001-01-01 00:00:00 +0000");
    EXPECT_EQ(description(Value(Date{-0.5})), "2000-12-31 23:59:59 +0000");
    EXPECT_EQ(description(Value(Date::fromUnixTime(-86400))), "1969-12-31 00:00:00 +0000");
    EXPECT_EQ(description(Value(Date{-63113904000.0})), "0001-01-01 00:00:00 +0000");
    EXPECT_EQ(description(Value(Date{252423993599.0})), "9999-12-31 23:59:59 +0000");
}

TEST(PlistDescription, DictionaryInOldStyleText) {
    const Value settings(Dictionary{
        {"Interval", Dictionary{{"Hour", 3}}},
        {"Backups", true},
        {"Name", "my backup"},
        {"Plain_Word1", "Plain_Word1"},
        {"Quote", "say \"hi\"\n"},
        {"Empty", ""},
        {"List", Array{Value(1), Value("a b"), Value(Array{})}},
        {"None", Dictionary{}},
        {"When", Date{0}},
        {"Bytes", Data{0xab}},
        {"with space", 2.5},
    });
    EXPECT_EQ(description(settings), R"({
    Backups = 1;
    Bytes = {length = 1, bytes = 0xab};
    Empty = "";
    Interval = {
        Hour = 3;
    };
    List = (
        1,
        "a b",
        (
        )
    );
    Name = "my backup";
    None = {
    };
    Plain_Word1 = Plain_Word1;
    Quote = "say \"hi\"\n";
    When = "2001-01-01 00:00:00 +0000";
    "with space" = 2.5;
})");
    EXPECT_EQ(description(Value(Array{})), "(\n)");
}

} // namespace

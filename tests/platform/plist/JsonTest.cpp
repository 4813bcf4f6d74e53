#include "platform/plist/Json.h"

#include "platform/plist/Plist.h"

#include <gtest/gtest.h>
#include <limits>

namespace {

using plist::Array;
using plist::Data;
using plist::Date;
using plist::Dictionary;
using plist::Value;

TEST(PlistJson, WritesPrettyJsonInKeyOrder) {
    const Value value(Dictionary{
        {"b", Array{Value(1), Value(true), Value(0.5), Value("é\"")}},
        {"a", Dictionary{}},
        {"c", Array{}},
    });
    std::string error;
    auto json = plist::writeJson(value, &error);
    ASSERT_TRUE(json) << error;
    EXPECT_EQ(*json, R"({
  "a": {},
  "b": [
    1,
    true,
    0.5,
    "é\""
  ],
  "c": []
})");
}

TEST(PlistJson, DatesAndDataOnlyAsTextWhenAsked) {
    const Value value(Dictionary{{"when", Date{0}}, {"bytes", Data{0, 1, 255}}});
    std::string error;
    EXPECT_FALSE(plist::writeJson(value, &error));
    EXPECT_EQ(error, "JSON cannot hold data");
    EXPECT_FALSE(plist::writeJson(Value(Array{Value(Date{0})}), &error));
    EXPECT_EQ(error, "JSON cannot hold date");
    auto json = plist::writeJson(value, &error, {.datesAndDataAsText = true});
    ASSERT_TRUE(json) << error;
    EXPECT_EQ(*json, "{\n  \"bytes\": \"AAH/\",\n  \"when\": \"2001-01-01T00:00:00Z\"\n}");
}

TEST(PlistJson, RefusesWhatJsonCannotHold) {
    std::string error;
    EXPECT_FALSE(plist::writeJson(Value(std::numeric_limits<double>::quiet_NaN()), &error));
    EXPECT_EQ(error, "JSON cannot hold the real nan");
    EXPECT_FALSE(plist::writeJson(Value("\xff"), &error));
    EXPECT_NE(error.find("invalid UTF-8"), std::string::npos) << error;
}

TEST(PlistJson, ReadsJson) {
    std::string error;
    auto value = plist::readJson(
        plist::bytesOf(
            R"({"i": -3, "u": 9223372036854775807, "r": 2.5, "b": false, "a": ["x", {}]})"),
        plist::kMessageSizeLimit, &error);
    ASSERT_TRUE(value) << error;
    EXPECT_TRUE(value->isIdenticalTo(Value(Dictionary{
        {"i", -3},
        {"u", std::numeric_limits<std::int64_t>::max()},
        {"r", 2.5},
        {"b", false},
        {"a", Array{Value("x"), Value(Dictionary{})}},
    })));
    EXPECT_FALSE(
        plist::readJson(plist::bytesOf(R"({"a": [1, null]})"), plist::kMessageSizeLimit, &error));
    EXPECT_EQ(error, "$.a[1]: null has no property-list form");
    EXPECT_FALSE(plist::readJson(plist::bytesOf("[18446744073709551615]"), plist::kMessageSizeLimit,
                                 &error));
    EXPECT_EQ(error, "$[0]: integer 18446744073709551615 out of the signed 64-bit range");
    EXPECT_FALSE(plist::readJson(plist::bytesOf("[1,"), plist::kMessageSizeLimit, &error));
    EXPECT_EQ(error.rfind("parse error at line 1", 0), 0u) << error;
    EXPECT_FALSE(
        plist::readJson(plist::bytesOf(std::string(100000, '[') + std::string(100000, ']')),
                        plist::kMessageSizeLimit, &error));
    EXPECT_EQ(error.substr(error.find(':')), ": containers nest deeper than 512 levels");
}

TEST(PlistJson, RefusesDeepNestingWhileParsing) {
    // Two million brackets, never closed: refused at the 513th, not after the whole parse.
    std::string error;
    EXPECT_FALSE(plist::readJson(plist::bytesOf(std::string(2000000, '[')),
                                 plist::kMessageSizeLimit * 2, &error));
    EXPECT_EQ(error.substr(error.find(':')), ": containers nest deeper than 512 levels");
    EXPECT_EQ(error.rfind("$[0][0]", 0), 0u);
}

TEST(PlistJson, RefusesWhatBinaryAndXmlRefuse) {
    const auto readError = [](std::string_view json) {
        std::string error;
        EXPECT_FALSE(plist::readJson(plist::bytesOf(json), plist::kMessageSizeLimit, &error));
        return error;
    };
    EXPECT_EQ(readError(R"({"a": 1, "a": 2})"), "$: duplicate key \"a\"");
    EXPECT_EQ(readError(R"({"x": [{"b": 1, "a": 2, "b": 3}]})"), "$.x[0]: duplicate key \"b\"");
    // Integers out of range are refused however large, not read as reals past 2^64.
    EXPECT_EQ(readError("[9223372036854775808]"),
              "$[0]: integer 9223372036854775808 out of the signed 64-bit range");
    EXPECT_EQ(readError("[18446744073709551616]"),
              "$[0]: integer 18446744073709551616 out of the signed 64-bit range");
    EXPECT_EQ(readError(R"({"n": -9223372036854775809})"),
              "$.n: integer -9223372036854775809 out of the signed 64-bit range");
    std::string error;
    auto edges = plist::readJson(plist::bytesOf("[-9223372036854775808, 1e19, 2E0]"),
                                 plist::kMessageSizeLimit, &error);
    ASSERT_TRUE(edges) << error;
    EXPECT_TRUE(edges->isIdenticalTo(
        Value(Array{Value(std::numeric_limits<std::int64_t>::min()), Value(1e19), Value(2.0)})));
}

} // namespace

#include "common/VRNFormat.h"

#include <gtest/gtest.h>

namespace {

using vrnformat::Kind;

std::string formatted(std::optional<std::string> text) {
    return text.value_or("<failed>");
}

TEST(FormatTest, PrintfConversions) {
    EXPECT_EQ(formatted(VRNFormat("%d %ld %lu %x %f %% %s", -3, 40L, 7UL, 255, 1.5, "text")),
              "-3 40 7 ff 1.500000 % text");
    EXPECT_EQ(formatted(VRNFormat("[%5d|%-4d|%03d|%.2f]", 42, 7, 5, 3.14159)),
              "[   42|7   |005|3.14]");
    EXPECT_EQ(formatted(VRNFormat("%-6s|%6s|%.2s", "ab", "cd", "xyz")), "ab    |    cd|xy");
    // Widths count characters, not bytes.
    EXPECT_EQ(formatted(VRNFormat("%-4s|", "äö")), "äö  |");
}

TEST(FormatTest, IntegersPrintAsTheirConversionReadsThem) {
    EXPECT_EQ(formatted(VRNFormat("%lu", -1)), "18446744073709551615");
    EXPECT_EQ(formatted(VRNFormat("%x", -1)), "ffffffff");
    EXPECT_EQ(formatted(VRNFormat("%d", 4294967295u)), "-1");
    EXPECT_EQ(formatted(VRNFormat("%ld", 4294967295u)), "4294967295");
    EXPECT_EQ(formatted(VRNFormat("%d", true)), "1");
}

TEST(FormatTest, ObjectPlaceholdersPrintDescriptions) {
    const plist::Value number(12);
    const plist::Value array(plist::Array{"a", 1});
    const plist::Value dictionary(plist::Dictionary{{"key", "value"}});
    EXPECT_EQ(formatted(VRNFormat("%@ %@ %@", std::string("text"), number, "c string")),
              "text 12 c string");
    EXPECT_EQ(formatted(VRNFormat("%@", array)), "(\n    a,\n    1\n)");
    EXPECT_EQ(formatted(VRNFormat("%@", dictionary)), "{\n    key = value;\n}");
    EXPECT_EQ(formatted(VRNFormat("%@", plist::Value(plist::Date{0}))),
              "2001-01-01 00:00:00 +0000");
}

TEST(FormatTest, MissingObjectsPrintNull) {
    const plist::Value* none = nullptr;
    const std::optional<plist::Value> empty;
    const char* noText = nullptr;
    EXPECT_EQ(formatted(VRNFormat("%@ %@ %@ %@ %s", none, empty, nullptr, noText, noText)),
              "(null) (null) (null) (null) (null)");
}

TEST(FormatTest, PrivacyAnnotationsAreAcceptedAndIgnored) {
    EXPECT_EQ(formatted(VRNFormat("'%{public}s' '%{public}@'", "a", std::string("b"))), "'a' 'b'");
}

TEST(FormatTest, RuntimeFormatsThatDoNotFitFailInsteadOfCrashing) {
    EXPECT_FALSE(VRNFormat(VRNRuntimeFormat("%d"), std::string("text")));
    EXPECT_FALSE(VRNFormat(VRNRuntimeFormat("%s"), 3));
    EXPECT_FALSE(VRNFormat(VRNRuntimeFormat("%@"), 3.0));
    EXPECT_FALSE(VRNFormat(VRNRuntimeFormat("%d %d"), 1));
    EXPECT_FALSE(VRNFormat(VRNRuntimeFormat("100%")));
    EXPECT_FALSE(VRNFormat(VRNRuntimeFormat("%{public")));
    EXPECT_FALSE(VRNFormat(VRNRuntimeFormat("%n"), 1));
    EXPECT_FALSE(VRNFormat(VRNRuntimeFormat("%*d"), 1));
    EXPECT_EQ(formatted(VRNFormat(VRNRuntimeFormat("%d"), 1, 2)), "1"); // extras are unused
}

// The check that literal formats get at compile time (a failing one stops the build).
TEST(FormatTest, CompileTimeCheckFindsMismatches) {
    constexpr Kind text[] = {Kind::Text};
    constexpr Kind integer[] = {Kind::Integer};
    constexpr Kind object[] = {Kind::Object};
    static_assert(vrnformat::mismatch("%d", text) != nullptr);
    static_assert(vrnformat::mismatch("%s", integer) != nullptr);
    static_assert(vrnformat::mismatch("%@", integer) != nullptr);
    static_assert(vrnformat::mismatch("%s", object) != nullptr);
    static_assert(vrnformat::mismatch("%d %d", integer) != nullptr);
    static_assert(vrnformat::mismatch("no conversion", integer) != nullptr);
    static_assert(vrnformat::mismatch("%{public}@", object) == nullptr);
    static_assert(vrnformat::mismatch("%-55s", text) == nullptr);
    static_assert(vrnformat::kindOf<const plist::Value*>() == Kind::Object);
    static_assert(vrnformat::kindOf<std::optional<plist::Value>>() == Kind::Object);
    static_assert(vrnformat::kindOf<unsigned long>() == Kind::Integer);
    static_assert(vrnformat::kindOf<const char(&)[3]>() == Kind::CString);
    SUCCEED();
}

} // namespace

#include "platform/calendar/TimeZones.h"

#include "tests/support/TempFolder.h"

#include <fstream>
#include <gtest/gtest.h>
#include <iterator>

namespace {

namespace fs = std::filesystem;
using testsupport::TempFolder;

const std::string kZoneinfo = "/usr/share/zoneinfo";

std::string bytesOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(TimeZonesTest, TzVariableComesFirst) {
    TempFolder folder;
    const auto localtime = folder.path() / "localtime";
    fs::create_symlink(kZoneinfo + "/Europe/Berlin", localtime);
    EXPECT_EQ(cal::resolveTimeZoneId("America/New_York", localtime), "America/New_York");
    EXPECT_EQ(cal::resolveTimeZoneId(":Asia/Tokyo", localtime), "Asia/Tokyo");
    EXPECT_EQ(cal::resolveTimeZoneId((":" + kZoneinfo + "/Asia/Tokyo").c_str(), localtime),
              "Asia/Tokyo");
    // The C library takes an unknown name as UTC; so do we.
    EXPECT_EQ(cal::resolveTimeZoneId("Nowhere/Bogus", localtime), "UTC");
    // Empty is the same as unset.
    EXPECT_EQ(cal::resolveTimeZoneId("", localtime), "Europe/Berlin");
}

TEST(TimeZonesTest, ZoneFileLinkedCopiedOrMissing) {
    TempFolder folder;
    const auto linked = folder.path() / "linked";
    fs::create_symlink(kZoneinfo + "/America/New_York", linked);
    EXPECT_EQ(cal::resolveTimeZoneId(nullptr, linked), "America/New_York");

    // A relative link to a link: the name in the first target counts.
    const auto relative = folder.path() / "relative";
    fs::create_symlink(fs::relative(kZoneinfo + "/posix/Europe/Berlin", folder.path()), relative);
    EXPECT_EQ(cal::resolveTimeZoneId(nullptr, relative), "Europe/Berlin");

    // A copy is recognised by content; several names may share it, all with Berlin's rules.
    const auto copied = folder.path() / "copied";
    fs::copy_file(kZoneinfo + "/Europe/Berlin", copied);
    const auto id = cal::resolveTimeZoneId(nullptr, copied);
    EXPECT_TRUE(cal::isKnownTimeZone(id)) << id;
    EXPECT_EQ(bytesOf(kZoneinfo + "/" + id), bytesOf(copied)) << id;

    EXPECT_EQ(cal::resolveTimeZoneId(nullptr, folder.path() / "missing"), "UTC");
    std::ofstream(folder.path() / "garbage") << "not a zone";
    EXPECT_EQ(cal::resolveTimeZoneId(nullptr, folder.path() / "garbage"), "UTC");

    // A zone file named from outside (TZ) is read only up to a zone file's size: a huge
    // (here sparse) file is no zone, not a terabyte in memory.
    const auto huge = folder.path() / "huge";
    std::ofstream(huge) << "TZif";
    fs::resize_file(huge, std::uintmax_t{1} << 40);
    EXPECT_EQ(cal::resolveTimeZoneId((":" + huge.string()).c_str(), linked), "UTC");
}

TEST(TimeZonesTest, SettingTheSystemZoneCountsOnlyChanges) {
    ASSERT_TRUE(cal::SystemTimeZone::set("Asia/Tokyo") ||
                cal::SystemTimeZone::id() == "Asia/Tokyo");
    const auto generation = cal::SystemTimeZone::generation();
    EXPECT_FALSE(cal::SystemTimeZone::set("Asia/Tokyo"));
    EXPECT_EQ(cal::SystemTimeZone::generation(), generation);
    EXPECT_TRUE(cal::SystemTimeZone::set("Europe/Berlin"));
    EXPECT_EQ(cal::SystemTimeZone::id(), "Europe/Berlin");
    EXPECT_NE(cal::SystemTimeZone::generation(), generation);
}

} // namespace

// Local snapshots on a btrfs file system in a loop-mounted image made by the test.

#include "engine/core/Snapshots.h"
#include "tests/engine/tmutil/EngineFixture.h"
#include "tests/support/BtrfsImage.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>

namespace enginetest {
namespace {

bool command(const std::vector<std::string>& args, std::string* output = nullptr) {
    return testsupport::runTool(args, output);
}

class SnapshotTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        mount_ = root_.path() / "volume";
        image_ = std::make_unique<testsupport::BtrfsImage>(root_.path() / "btrfs.img", mount_);
        if (!image_->mounted()) {
            // Machines that run CI have root and loop devices: there a skip hides a fault.
            if (testsupport::BtrfsImage::inCI()) {
                FAIL() << image_->reason();
            }
            GTEST_SKIP() << image_->reason();
        }
        ASSERT_TRUE(command({"btrfs", "quota", "enable", mount_.string()}));
        for (const char* folder : {"/home", "/etc"}) {
            ASSERT_EQ(tmutil({"removesource", folder}).exitStatus, 0);
        }
        ASSERT_EQ(tmutil({"addsource", mount_.string()}).exitStatus, 0);
    }

    void TearDown() override {
        image_.reset();
        EngineTest::TearDown();
    }

    // A read-only snapshot with `name`, made directly with btrfs-progs (so its date can lie
    // in the past).
    void snapshotAs(const std::string& name) {
        fs::create_directories(mount_ / engine::kSnapshotsFolder);
        ASSERT_TRUE(command({"btrfs", "subvolume", "snapshot", "-r", mount_.string(),
                             (mount_ / engine::kSnapshotsFolder / name).string()}));
    }

    std::string listed() {
        const auto run = tmutil({"listlocalsnapshots", mount_.string()});
        EXPECT_EQ(run.exitStatus, 0) << run.output;
        return run.output;
    }

    double freeFraction() { return engine::freeFraction(mount_.string()).value_or(-1); }

    void sync() { ASSERT_TRUE(command({"btrfs", "filesystem", "sync", mount_})); }

    fs::path mount_;
    std::unique_ptr<testsupport::BtrfsImage> image_;
};

TEST_F(SnapshotTest, SnapshotListAgeAndDelete) {
    const double now = static_cast<double>(std::time(nullptr));
    const std::string expired = engine::snapshotName(now - 25 * 3600);
    const std::string recent = engine::snapshotName(now - 3600);
    snapshotAs(expired);
    snapshotAs(recent);
    writeRandomFile(mount_ / "documents/report", 4 << 20);

    const auto made = tmutil({"snapshot"});
    ASSERT_EQ(made.exitStatus, 0) << made.output;
    const std::string prefix = "Created local snapshot with date: ";
    ASSERT_TRUE(made.output.starts_with(prefix)) << made.output;
    const std::string name = made.output.substr(prefix.size(), 17);
    EXPECT_NE(made.output.find("Deleted local snapshot '" + expired + "'"), std::string::npos);

    struct stat st {};
    ASSERT_EQ(::stat((mount_ / engine::kSnapshotsFolder).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    const fs::path copy = mount_ / engine::kSnapshotsFolder / name / "documents/report";
    EXPECT_EQ(fs::file_size(copy), 4u << 20);
    EXPECT_LT(::open(copy.c_str(), O_WRONLY | O_CLOEXEC), 0) << "snapshots are read-only";
    EXPECT_EQ(errno, EROFS);

    // The file changed after the snapshot: its old data now belongs to the snapshot alone.
    writeRandomFile(mount_ / "documents/report", 4 << 20);
    sync();
    const std::string list = listed();
    EXPECT_EQ(list.find(expired), std::string::npos);
    EXPECT_NE(list.find(recent + "  "), std::string::npos) << list;
    const auto at = list.find(name + "  ");
    ASSERT_NE(at, std::string::npos) << list;
    const std::uint64_t size = std::stoull(list.substr(at + name.size() + 2));
    EXPECT_GE(size, 4u << 20);

    // Without quota groups there is no size to show.
    ASSERT_TRUE(command({"btrfs", "quota", "disable", mount_.string()}));
    EXPECT_NE(listed().find(name + "  --\n"), std::string::npos);

    const auto deleted = tmutil({"deletelocalsnapshots", name});
    EXPECT_EQ(deleted.exitStatus, 0) << deleted.output;
    EXPECT_EQ(listed().find(name), std::string::npos);
    EXPECT_EQ(tmutil({"deletelocalsnapshots", name}).exitStatus, 1);
    EXPECT_EQ(tmutil({"deletelocalsnapshots", "yesterday"}).exitStatus, 1);
    EXPECT_NE(listed().find(recent), std::string::npos);
}

TEST_F(SnapshotTest, OldestGoEarlierWhileSpaceIsShort) {
    const double now = static_cast<double>(std::time(nullptr));
    const std::string oldest = engine::snapshotName(now - 3 * 3600);
    const std::string older = engine::snapshotName(now - 2 * 3600);
    // Each snapshot alone holds a large file that is gone from the live folder.
    for (const std::string& name : {oldest, older}) {
        writeRandomFile(mount_ / "large", 148u << 20);
        snapshotAs(name);
        fs::remove(mount_ / "large");
    }
    sync();
    ASSERT_LT(freeFraction(), engine::kMinimumFreeFraction);

    const auto made = tmutil({"snapshot"});
    ASSERT_EQ(made.exitStatus, 0) << made.output;
    EXPECT_NE(made.output.find("Deleted local snapshot '" + oldest + "'"), std::string::npos)
        << made.output;
    // Once the oldest has gone there is space enough: the next one stays.
    EXPECT_EQ(made.output.find("Deleted local snapshot '" + older + "'"), std::string::npos)
        << made.output;
    EXPECT_GE(freeFraction(), engine::kMinimumFreeFraction);
    EXPECT_NE(listed().find(older), std::string::npos);
}

TEST_F(EngineTest, SnapshotOfAFolderNotOnBtrfsIsRefused) {
    ASSERT_EQ(tmutil({"removesource", "/home"}).exitStatus, 0);
    ASSERT_EQ(tmutil({"removesource", "/etc"}).exitStatus, 0);
    ASSERT_EQ(tmutil({"addsource", "/proc/1"}).exitStatus, 0);
    const auto refused = tmutil({"snapshot"});
    EXPECT_EQ(refused.exitStatus, 1);
    EXPECT_EQ(refused.output, "/proc/1 is not on a btrfs file system.\n");
    const auto listing = tmutil({"listlocalsnapshots", "/proc"});
    EXPECT_EQ(listing.exitStatus, 1);
    EXPECT_EQ(listing.output, "tmutil: /proc is not on a btrfs file system\n");
}

} // namespace
} // namespace enginetest

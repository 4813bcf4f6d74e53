// Local snapshots on a btrfs file system in a loop-mounted image made by the test.

#include "engine/core/Snapshots.h"
#include "tests/engine/tmutil/EngineFixture.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>

namespace enginetest {
namespace {

// Runs a command of btrfs-progs or util-linux; true when it exited with status 0.
bool command(const std::vector<std::string>& args, std::string* output = nullptr) {
    const auto run =
        testsupport::runChild(args, testsupport::ChildProcess::Errors::WithOutput, kBackupLimit);
    if (output != nullptr) {
        *output = run.output;
    }
    return run.exitStatus == 0;
}

class SnapshotTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        image_ = root_.path() / "btrfs.img";
        mount_ = root_.path() / "volume";
        fs::create_directories(mount_);
        std::string reason;
        if (::geteuid() != 0) {
            reason = "loop mounts need root";
        } else if (!fs::exists("/sbin/mkfs.btrfs") && !fs::exists("/usr/sbin/mkfs.btrfs")) {
            reason = "mkfs.btrfs is not installed (btrfs-progs)";
        } else {
            std::ofstream(image_).close();
            fs::resize_file(image_, 400u << 20);
            std::string output;
            if (!command({"/usr/bin/env", "mkfs.btrfs", "-q", image_.string()}, &output) ||
                !command({"/usr/bin/env", "mount", "-o", "loop", image_.string(), mount_.string()},
                         &output)) {
                reason = "cannot make a loop-mounted btrfs image: " + output;
            } else {
                mounted_ = true;
            }
        }
        if (!reason.empty()) {
            // Machines that run CI have root and loop devices: there a skip hides a fault.
            if (std::getenv("CI") != nullptr) {
                FAIL() << reason;
            }
            GTEST_SKIP() << reason;
        }
        ASSERT_TRUE(command({"/usr/bin/env", "btrfs", "quota", "enable", mount_.string()}));
        for (const char* folder : {"/home", "/etc"}) {
            ASSERT_EQ(tmutil({"removesource", folder}).exitStatus, 0);
        }
        ASSERT_EQ(tmutil({"addsource", mount_.string()}).exitStatus, 0);
    }

    void TearDown() override {
        if (mounted_) {
            ::umount2(mount_.c_str(), MNT_DETACH);
        }
        EngineTest::TearDown();
    }

    // A read-only snapshot with `name`, made directly with btrfs-progs (so its date can lie
    // in the past).
    void snapshotAs(const std::string& name) {
        fs::create_directories(mount_ / engine::kSnapshotsFolder);
        ASSERT_TRUE(
            command({"/usr/bin/env", "btrfs", "subvolume", "snapshot", "-r", mount_.string(),
                     (mount_ / engine::kSnapshotsFolder / name).string()}));
    }

    std::string listed() {
        const auto run = tmutil({"listlocalsnapshots", mount_.string()});
        EXPECT_EQ(run.exitStatus, 0) << run.output;
        return run.output;
    }

    double freeFraction() { return engine::freeFraction(mount_.string()).value_or(-1); }

    void sync() { ASSERT_TRUE(command({"/usr/bin/env", "btrfs", "filesystem", "sync", mount_})); }

    fs::path image_;
    fs::path mount_;
    bool mounted_ = false;
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
    ASSERT_TRUE(command({"/usr/bin/env", "btrfs", "quota", "disable", mount_.string()}));
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

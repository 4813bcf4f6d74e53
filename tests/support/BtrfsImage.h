#pragma once

#include "tests/support/ChildProcess.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/mount.h>
#include <unistd.h>
#include <vector>

namespace testsupport {

// Runs a command of btrfs-progs or util-linux (found on PATH); true when it exited with
// status 0.
inline bool runTool(const std::vector<std::string>& args, std::string* output = nullptr) {
    std::vector<std::string> command{"/usr/bin/env"};
    command.insert(command.end(), args.begin(), args.end());
    const auto run = runChild(command, ChildProcess::Errors::WithOutput, std::chrono::seconds(120));
    if (output != nullptr) {
        *output = run.output;
    }
    return run.exitStatus == 0;
}

// A btrfs file system made by the test in the image file `image` and loop-mounted at
// `mountPoint` (created when missing); unmounted again on destruction. Needs root and loop
// devices: where they are missing, reason() says why and nothing is mounted. Machines that
// run CI have both, so there a test fails rather than skips on a reason.
class BtrfsImage {
public:
    BtrfsImage(std::filesystem::path image, std::filesystem::path mountPoint,
               std::uintmax_t size = std::uintmax_t{400} << 20)
        : image_(std::move(image)), mountPoint_(std::move(mountPoint)) {
        std::filesystem::create_directories(mountPoint_);
        if (::geteuid() != 0) {
            reason_ = "loop mounts need root";
        } else if (!std::filesystem::exists("/sbin/mkfs.btrfs") &&
                   !std::filesystem::exists("/usr/sbin/mkfs.btrfs")) {
            reason_ = "mkfs.btrfs is not installed (btrfs-progs)";
        } else {
            std::ofstream(image_).close();
            std::filesystem::resize_file(image_, size);
            std::string output;
            if (!runTool({"mkfs.btrfs", "-q", image_.string()}, &output) ||
                !runTool({"mount", "-o", "loop", image_.string(), mountPoint_.string()}, &output)) {
                reason_ = "cannot make a loop-mounted btrfs image: " + output;
            } else {
                mounted_ = true;
            }
        }
    }
    ~BtrfsImage() { unmount(); }
    BtrfsImage(const BtrfsImage&) = delete;
    BtrfsImage& operator=(const BtrfsImage&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& reason() const { return reason_; }
    const std::filesystem::path& mountPoint() const { return mountPoint_; }
    static bool inCI() { return std::getenv("CI") != nullptr; }

    void unmount() {
        if (mounted_) {
            ::umount2(mountPoint_.c_str(), MNT_DETACH);
            mounted_ = false;
        }
    }

private:
    std::filesystem::path image_;
    std::filesystem::path mountPoint_;
    std::string reason_;
    bool mounted_ = false;
};

} // namespace testsupport

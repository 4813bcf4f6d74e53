#include "common/VRNLogFile.h"

#include "common/VRNLogFailure.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

VRNLogFile::VRNLogFile(std::string directory, std::string category, std::uint64_t rotationLength)
    : directory_(std::move(directory)), category_(std::move(category)),
      rotationLength_(rotationLength) {}

VRNLogFile::~VRNLogFile() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

std::string VRNLogFile::currentPath() const {
    return directory_ + "/" + category_ + ".log";
}

std::string VRNLogFile::generationPath(int generation) const {
    return directory_ + "/" + category_ + "." + std::to_string(generation) + ".log";
}

int VRNLogFile::openCurrent() const {
    // O_NOFOLLOW: a root process must not write through a link planted at a log path.
    // O_CLOEXEC: spawned tools do not inherit the log.
    int fd;
    do {
        fd = ::open(currentPath().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC,
                    0644);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

void VRNLogFile::open() {
    std::error_code ignored;
    std::filesystem::create_directories(directory_, ignored);

    std::lock_guard guard(lock_);
    fd_ = openCurrent();
    if (fd_ < 0) {
        VRNLogFailure("Failed to open log file (%d).", errno);
        return;
    }
    struct stat info {};
    if (fstat(fd_, &info) != 0) {
        VRNLogFailure("Failed to stat log file (%d).", errno);
        return;
    }
    length_ = static_cast<std::uint64_t>(info.st_size);
}

void VRNLogFile::rotate() {
    // Renames, never copies: a reader holding the old file keeps a complete file. Missing
    // generations are expected and ignored.
    std::remove(generationPath(kGenerations - 1).c_str());
    for (int generation = kGenerations - 1; generation > 0; --generation) {
        std::rename(generationPath(generation - 1).c_str(), generationPath(generation).c_str());
    }
    std::rename(currentPath().c_str(), generationPath(0).c_str());
    close(fd_);
    fd_ = openCurrent();
    length_ = 0;
}

void VRNLogFile::write(std::string_view line) {
    std::lock_guard guard(lock_);
    if (fd_ < 0) {
        return;
    }
    if (length_ >= rotationLength_) {
        rotate();
    }
    // After a failed reopen the descriptor is -1: this write fails once (EBADF) and is
    // reported; later lines are dropped by the check above.
    ssize_t written;
    do {
        written = ::write(fd_, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    if (written < 0) {
        VRNLogFailure("Failed to write to log file (%d) '%{public}@'.", errno, line);
        return;
    }
    length_ += line.size();
}

bool VRNLogFile::isOpen() const {
    std::lock_guard guard(lock_);
    return fd_ >= 0;
}

std::uint64_t VRNLogFile::length() const {
    std::lock_guard guard(lock_);
    return length_;
}

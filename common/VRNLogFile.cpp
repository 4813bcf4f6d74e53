#include "common/VRNLogFile.h"

#include "common/VRNLogFailure.h"

#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Runs an open call again while a signal interrupts it.
template <class Open>
int retrying(Open open) {
    int fd;
    do {
        fd = open();
    } while (fd < 0 && errno == EINTR);
    return fd;
}

} // namespace

VRNLogFile::VRNLogFile(std::string directory, std::string category, std::uint64_t rotationLength)
    : directory_(std::move(directory)), category_(std::move(category)),
      rotationLength_(rotationLength) {}

VRNLogFile::~VRNLogFile() {
    closeDescriptors();
}

std::string VRNLogFile::currentName() const {
    return category_ + ".log";
}

std::string VRNLogFile::generationName(int generation) const {
    return category_ + "." + std::to_string(generation) + ".log";
}

std::string VRNLogFile::currentPath() const {
    return directory_ + "/" + currentName();
}

std::string VRNLogFile::generationPath(int generation) const {
    return directory_ + "/" + generationName(generation);
}

bool VRNLogFile::openFolder() {
    // O_NOFOLLOW on the folder itself: O_NOFOLLOW on the file protects only the last
    // component, and a root process must not write into a folder a link points it to.
    folderFd_ = retrying([&] {
        return ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    });
    if (folderFd_ < 0) {
        return false;
    }
    struct stat info {};
    if (fstat(folderFd_, &info) != 0) {
        return false;
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != geteuid()) {
        errno = kFolderNotOwned;
        return false;
    }
    return true;
}

int VRNLogFile::openCurrent() const {
    // O_NOFOLLOW: never write through a link planted at the log path.
    // O_CLOEXEC: spawned tools do not inherit the log.
    return retrying([&] {
        return ::openat(folderFd_, currentName().c_str(),
                        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    });
}

void VRNLogFile::closeDescriptors() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (folderFd_ >= 0) {
        ::close(folderFd_);
        folderFd_ = -1;
    }
}

void VRNLogFile::open() {
    std::error_code ignored;
    std::filesystem::create_directories(directory_, ignored);

    std::lock_guard guard(lock_);
    if (openFolder()) {
        fd_ = openCurrent();
    }
    if (fd_ < 0) {
        const int error = errno;
        closeDescriptors();
        VRNLogFailure("Failed to open log file (%d).", error);
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
    // Renames in the opened folder, never copies: a reader holding the old file keeps a
    // complete file. Missing generations are expected and ignored.
    unlinkat(folderFd_, generationName(kGenerations - 1).c_str(), 0);
    for (int generation = kGenerations - 1; generation > 0; --generation) {
        renameat(folderFd_, generationName(generation - 1).c_str(), folderFd_,
                 generationName(generation).c_str());
    }
    renameat(folderFd_, currentName().c_str(), folderFd_, generationName(0).c_str());
    ::close(fd_);
    fd_ = openCurrent();
    length_ = 0;
    if (fd_ < 0) {
        // The cause is told once, as at start; the lines that follow are dropped.
        const int error = errno;
        closeDescriptors();
        VRNLogFailure("Failed to open log file (%d).", error);
    }
}

void VRNLogFile::write(std::string_view line) {
    std::lock_guard guard(lock_);
    if (fd_ < 0) {
        return;
    }
    if (length_ >= rotationLength_) {
        rotate();
        if (fd_ < 0) {
            return;
        }
    }
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

void VRNLogFile::close() {
    std::lock_guard guard(lock_);
    closeDescriptors();
}

bool VRNLogFile::isOpen() const {
    std::lock_guard guard(lock_);
    return fd_ >= 0;
}

std::uint64_t VRNLogFile::length() const {
    std::lock_guard guard(lock_);
    return length_;
}

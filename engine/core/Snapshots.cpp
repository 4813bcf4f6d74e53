#include "engine/core/Snapshots.h"

#include "engine/core/SubvolumeCleaning.h"
#include "platform/btrfs/Quota.h"
#include "platform/files/Files.h"

#include <algorithm>
#include <btrfsutil.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <linux/btrfs_tree.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>

namespace engine {

namespace {

// Every subvolume's top folder has this inode number.
constexpr ino_t kSubvolumeTopInode = BTRFS_FIRST_FREE_OBJECTID;

bool onBtrfs(const std::string& path) {
    struct statfs fs {};
    return ::statfs(path.c_str(), &fs) == 0 && fs.f_type == BTRFS_SUPER_MAGIC;
}

std::string btrfsError(const std::string& what, btrfs_util_error error) {
    return what + ": " + btrfs_util_strerror(error) +
           (errno != 0 ? std::string(" (") + std::strerror(errno) + ")" : std::string());
}

} // namespace

std::optional<std::string> subvolumeTop(const std::string& path, std::string* error) {
    error->clear();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        *error = "cannot examine " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::string folder = S_ISDIR(st.st_mode) ? path : files::parentOf(path);
    if (!onBtrfs(folder)) {
        return std::nullopt;
    }
    // Up to the folder that starts the subvolume (never leaving the file system).
    for (;;) {
        if (::stat(folder.c_str(), &st) != 0) {
            *error = "cannot examine " + folder + ": " + std::strerror(errno);
            return std::nullopt;
        }
        if (st.st_ino == kSubvolumeTopInode || folder == "/") {
            return folder;
        }
        folder = files::parentOf(folder);
    }
}

std::string snapshotName(double unixTime) {
    const std::time_t seconds = static_cast<std::time_t>(unixTime);
    std::tm parts{};
    ::gmtime_r(&seconds, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d-%H%M%S", &parts);
    return text;
}

std::optional<double> snapshotDate(const std::string& name) {
    std::tm parts{};
    const char* end = ::strptime(name.c_str(), "%Y-%m-%d-%H%M%S", &parts);
    if (end == nullptr || *end != '\0' || name.size() != 17) {
        return std::nullopt;
    }
    return static_cast<double>(::timegm(&parts));
}

std::optional<std::string> createSnapshot(const std::string& top, double unixTime,
                                          std::string* error) {
    const std::string folder = top + "/" + kSnapshotsFolder;
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        *error = "cannot create " + folder + ": " + std::strerror(errno);
        return std::nullopt;
    }
    ::chmod(folder.c_str(), 0755);
    const std::string name = snapshotName(unixTime);
    errno = 0;
    const btrfs_util_error result =
        btrfs_util_create_snapshot(top.c_str(), (folder + "/" + name).c_str(),
                                   BTRFS_UTIL_CREATE_SNAPSHOT_READ_ONLY, nullptr, nullptr);
    if (result != BTRFS_UTIL_OK) {
        *error = btrfsError("cannot snapshot " + top, result);
        return std::nullopt;
    }
    return name;
}

std::vector<LocalSnapshot> listSnapshots(const std::string& top) {
    std::vector<LocalSnapshot> snapshots;
    const std::string folder = top + "/" + kSnapshotsFolder;
    DIR* listing = ::opendir(folder.c_str());
    if (listing == nullptr) {
        return snapshots;
    }
    while (const dirent* entry = ::readdir(listing)) {
        const std::optional<double> date = snapshotDate(entry->d_name);
        if (!date) {
            continue;
        }
        LocalSnapshot snapshot{entry->d_name, folder + "/" + entry->d_name, *date, 0, std::nullopt};
        if (btrfs_util_subvolume_id(snapshot.path.c_str(), &snapshot.subvolumeID) !=
            BTRFS_UTIL_OK) {
            continue; // a plain folder of that name is not a snapshot
        }
        files::Descriptor opened = files::openFile(top, O_RDONLY | O_DIRECTORY);
        if (opened.valid()) {
            snapshot.size = btrfs::exclusiveSize(opened.get(), snapshot.subvolumeID);
        }
        snapshots.push_back(std::move(snapshot));
    }
    ::closedir(listing);
    std::sort(snapshots.begin(), snapshots.end(),
              [](const LocalSnapshot& a, const LocalSnapshot& b) { return a.name < b.name; });
    return snapshots;
}

bool deleteSnapshot(const LocalSnapshot& snapshot, std::string* error) {
    errno = 0;
    const btrfs_util_error result = btrfs_util_delete_subvolume(snapshot.path.c_str(), 0);
    if (result != BTRFS_UTIL_OK) {
        *error = btrfsError("cannot delete " + snapshot.path, result);
        return false;
    }
    return true;
}

std::optional<double> freeFraction(const std::string& path) {
    struct statvfs fs {};
    if (::statvfs(path.c_str(), &fs) != 0 || fs.f_blocks == 0) {
        return std::nullopt;
    }
    return static_cast<double>(fs.f_bavail) / static_cast<double>(fs.f_blocks);
}

std::vector<std::string> thinSnapshots(const std::string& top, double unixTime,
                                       const std::string& keep,
                                       std::vector<std::string>* problems) {
    std::vector<std::string> deleted;
    std::vector<std::uint64_t> uncleaned;
    const auto remove = [&](const LocalSnapshot& snapshot) {
        std::string problem;
        if (deleteSnapshot(snapshot, &problem)) {
            deleted.push_back(snapshot.name);
            uncleaned.push_back(snapshot.subvolumeID);
        } else {
            problems->push_back(problem);
        }
    };
    // Measuring before the cleaner has run would see the deleted snapshots' space as used
    // and delete one too many.
    const auto freeAfterCleaning = [&]() -> std::optional<double> {
        std::string problem;
        if (!waitForCleaning(top, uncleaned, kCleaningLimit, &problem)) {
            problems->push_back("cannot measure the free space of " + top + ": " + problem);
            return std::nullopt;
        }
        uncleaned.clear();
        return freeFraction(top);
    };
    std::vector<LocalSnapshot> kept;
    for (const LocalSnapshot& snapshot : listSnapshots(top)) {
        if (snapshot.name != keep && unixTime - snapshot.unixTime > kSnapshotLifetime) {
            remove(snapshot);
        } else if (snapshot.name != keep) {
            kept.push_back(snapshot);
        }
    }
    for (const LocalSnapshot& snapshot : kept) {
        const std::optional<double> free = freeAfterCleaning();
        if (!free || *free >= kMinimumFreeFraction) {
            break;
        }
        remove(snapshot);
    }
    return deleted;
}

} // namespace engine

#include "application/snapshots/KBELocalSnapshots.h"

#include "platform/btrfs/Quota.h"
#include "platform/files/Files.h"

#include <btrfsutil.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/btrfs_tree.h>
#include <sstream>

namespace {

// Mountinfo escapes blanks, tabs, newlines and backslashes as three octal digits.
std::string unescape(std::string_view field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string digits(field.substr(i + 1, 3));
            if (digits.find_first_not_of("01234567") == std::string::npos) {
                out += static_cast<char>(std::strtol(digits.c_str(), nullptr, 8));
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

VRNError listingError(const std::string& path, int code) {
    return VRNError::errorWithDomain(
        KBEPOSIXErrorDomain, code,
        {{VRNLocalizedDescriptionKey,
          plist::Value(
              VRNFormat("Failed to list snapshots for volume '%@': %s.", path, std::strerror(code))
                  .value_or(path))}});
}

std::string displayName(const char* subvolumePath) {
    std::string name = subvolumePath;
    const std::string engineFolder = std::string(KBEEngineSnapshotsFolder) + "/";
    if (name.starts_with(engineFolder) &&
        name.find('/', engineFolder.size()) == std::string::npos) {
        name.erase(0, engineFolder.size());
    }
    return name;
}

} // namespace

std::vector<KBEMount> KBEParseMountInfo(std::string_view text) {
    std::vector<KBEMount> mounts;
    std::istringstream lines{std::string(text)};
    std::string line;
    while (std::getline(lines, line)) {
        // "36 35 98:0 /root /mnt rw,noatime master:1 - btrfs /dev/loop0 rw,space_cache"
        std::istringstream fields(line);
        std::vector<std::string> words;
        for (std::string word; fields >> word;) {
            words.push_back(word);
        }
        std::size_t separator = 6;
        while (separator < words.size() && words[separator] != "-") {
            ++separator;
        }
        if (words.size() < 7 || separator + 2 >= words.size()) {
            continue;
        }
        char* end = nullptr;
        const long id = std::strtol(words[0].c_str(), &end, 10);
        if (end == words[0].c_str() || *end != '\0') {
            continue;
        }
        mounts.push_back(
            {id, unescape(words[4]), words[separator + 1], unescape(words[separator + 2])});
    }
    return mounts;
}

std::vector<KBEMount> KBELocalBtrfsMounts(const std::vector<KBEMount>& mounts) {
    std::vector<KBEMount> local;
    for (const auto& mount : mounts) {
        if (mount.type == "btrfs") {
            local.push_back(mount);
        }
    }
    return local;
}

std::optional<plist::Array> KBESnapshotsAtPath(const std::string& path,
                                               std::optional<VRNError>* error) {
    files::Descriptor volume = files::openFile(path, O_RDONLY | O_DIRECTORY);
    if (!volume.valid()) {
        *error = listingError(path, errno);
        return std::nullopt;
    }
    btrfs_util_subvolume_iterator* iterator = nullptr;
    errno = 0;
    if (btrfs_util_create_subvolume_iterator_fd(volume.get(), 0, 0, &iterator) != BTRFS_UTIL_OK) {
        *error = listingError(path, errno != 0 ? errno : EIO);
        return std::nullopt;
    }
    plist::Array records;
    for (;;) {
        char* subvolumePath = nullptr;
        struct btrfs_util_subvolume_info info {};
        errno = 0;
        const btrfs_util_error result =
            btrfs_util_subvolume_iterator_next_info(iterator, &subvolumePath, &info);
        if (result == BTRFS_UTIL_ERROR_STOP_ITERATION) {
            break;
        }
        if (result != BTRFS_UTIL_OK) {
            const int code = errno != 0 ? errno : EIO;
            btrfs_util_destroy_subvolume_iterator(iterator);
            *error = listingError(path, code);
            return std::nullopt;
        }
        if ((info.flags & BTRFS_ROOT_SUBVOL_RDONLY) != 0) {
            plist::Dictionary record{{"Name", plist::Value(displayName(subvolumePath))},
                                     {"Date", plist::Value(plist::Date::fromUnixTime(
                                                  static_cast<double>(info.otime.tv_sec)))}};
            if (const auto size = btrfs::exclusiveSize(volume.get(), info.id)) {
                record.insert_or_assign("Size", plist::Value(static_cast<std::int64_t>(*size)));
            }
            records.emplace_back(std::move(record));
        }
        std::free(subvolumePath);
    }
    btrfs_util_destroy_subvolume_iterator(iterator);
    return records;
}

#include "platform/btrfs/Quota.h"

#include <cstring>
#include <endian.h>
#include <linux/btrfs.h>
#include <linux/btrfs_tree.h>
#include <sys/ioctl.h>

namespace btrfs {

std::optional<std::uint64_t> exclusiveSize(int folder, std::uint64_t subvolume) {
    btrfs_ioctl_search_args search{};
    search.key.tree_id = BTRFS_QUOTA_TREE_OBJECTID;
    search.key.min_objectid = 0;
    search.key.max_objectid = 0;
    search.key.min_type = BTRFS_QGROUP_INFO_KEY;
    search.key.max_type = BTRFS_QGROUP_INFO_KEY;
    search.key.min_offset = subvolume;
    search.key.max_offset = subvolume;
    search.key.max_transid = UINT64_MAX;
    search.key.nr_items = 1;
    if (::ioctl(folder, BTRFS_IOC_TREE_SEARCH, &search) != 0 || search.key.nr_items == 0) {
        return std::nullopt;
    }
    btrfs_ioctl_search_header header;
    std::memcpy(&header, search.buf, sizeof header);
    if (header.type != BTRFS_QGROUP_INFO_KEY || header.offset != subvolume ||
        header.len < sizeof(btrfs_qgroup_info_item)) {
        return std::nullopt;
    }
    btrfs_qgroup_info_item info;
    std::memcpy(&info, search.buf + sizeof header, sizeof info);
    return le64toh(info.excl);
}

} // namespace btrfs

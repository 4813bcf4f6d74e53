#pragma once

// Quota-group sizes of btrfs subvolumes.

#include <cstdint>
#include <optional>

namespace btrfs {

// The bytes only subvolume `subvolume` holds (the exclusive size of its quota group 0/id),
// searched in the quota tree through `folder`, any open folder of the file system. None
// when quota groups are off or the search is refused (it needs root).
std::optional<std::uint64_t> exclusiveSize(int folder, std::uint64_t subvolume);

} // namespace btrfs

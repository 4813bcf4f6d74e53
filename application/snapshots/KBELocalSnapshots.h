#pragma once

// What the local snapshots window shows, read from the system: the mounted local btrfs
// file systems and the read-only snapshots below one of them.

#include "common/VRNError.h"
#include "platform/plist/Value.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The domain of errors that carry a system call's errno as their code.
inline constexpr const char* KBEPOSIXErrorDomain = "NSPOSIXErrorDomain";
// The folder the backup engine keeps its snapshots in, at a subvolume's top.
inline constexpr const char* KBEEngineSnapshotsFolder = ".keelbrook-snapshots";

// One line of /proc/self/mountinfo.
struct KBEMount {
    long mountID = 0;
    std::string mountPoint;
    std::string type;
    std::string source;
    bool operator==(const KBEMount&) const = default;
};

// The mounts of a mountinfo text, in its order; malformed lines are skipped.
std::vector<KBEMount> KBEParseMountInfo(std::string_view text);
// The mounts that are local btrfs file systems ("data or backup volumes").
std::vector<KBEMount> KBELocalBtrfsMounts(const std::vector<KBEMount>& mounts);

// The snapshot records ("Name", "Date" and, when quota groups report it, "Size") of the
// file system mounted at `path`, in enumeration order: every read-only subvolume below it,
// named by its path there (the engine's by their own name). On failure nullopt and an error
// in KBEPOSIXErrorDomain with the errno as its code.
std::optional<plist::Array> KBESnapshotsAtPath(const std::string& path,
                                               std::optional<VRNError>* error);

// How the window lists snapshots (the composition root passes KBESnapshotsAtPath).
using KBESnapshotLister = std::function<std::optional<plist::Array>(
    const std::string& path, std::optional<VRNError>* error)>;

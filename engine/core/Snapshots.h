#pragma once

// Local snapshots: read-only btrfs snapshots of the subvolumes that hold the included
// folders, in a ".keelbrook-snapshots" folder at each subvolume's top, named by their UTC
// date ("2026-12-08-101530").

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace engine {

inline constexpr const char* kSnapshotsFolder = ".keelbrook-snapshots";
// Snapshots are kept this long, and less while the file system runs out of space.
inline constexpr double kSnapshotLifetime = 24 * 3600;
inline constexpr double kMinimumFreeFraction = 0.10;
// How long thinning waits for btrfs to return a deleted snapshot's space.
inline constexpr std::chrono::milliseconds kCleaningLimit = std::chrono::minutes(2);

struct LocalSnapshot {
    std::string name;
    std::string path;
    double unixTime = 0;
    std::uint64_t subvolumeID = 0;
    // The bytes only this snapshot holds (its quota group's exclusive size); none when quota
    // groups are off or reading them is refused.
    std::optional<std::uint64_t> size;
};

// The top of the btrfs subvolume that holds `path`. Nullopt with `error` empty when `path`
// is not on btrfs, with `error` filled when it cannot be examined.
std::optional<std::string> subvolumeTop(const std::string& path, std::string* error);

// The name a snapshot taken at `unixTime` gets; the date a name stands for (nullopt for
// names that are not snapshot names).
std::string snapshotName(double unixTime);
std::optional<double> snapshotDate(const std::string& name);

// Takes a read-only snapshot of the subvolume at `top` named for `unixTime`; its name, or
// nullopt with `error` filled.
std::optional<std::string> createSnapshot(const std::string& top, double unixTime,
                                          std::string* error);

// The subvolume's snapshots, oldest first.
std::vector<LocalSnapshot> listSnapshots(const std::string& top);

bool deleteSnapshot(const LocalSnapshot& snapshot, std::string* error);

// The fraction of the file system at `path` that is free; nullopt when unknown.
std::optional<double> freeFraction(const std::string& path);

// Deletes the snapshots older than kSnapshotLifetime at `unixTime` and, while the file
// system's free fraction is below kMinimumFreeFraction, the oldest others, never `keep`.
// Free space is measured only once the cleaner has returned the deleted snapshots' space;
// when that cannot be waited for, no further snapshot goes.
// The names deleted, in order; failures are added to `problems`.
std::vector<std::string> thinSnapshots(const std::string& top, double unixTime,
                                       const std::string& keep, std::vector<std::string>* problems);

} // namespace engine

#pragma once

#include "platform/files/Files.h"
#include "platform/machine-linux/EventFeed.h"
#include "platform/machine/MachineState.h"
#include "platform/plist/Value.h"

#include <optional>
#include <string>

// The simulated machine's files, all property lists in one folder
// ("/var/run/keelbrook/simulated", on Linux /run/keelbrook/simulated, through paths::path):
//   user-activity.plist, system-load.plist, thermal.plist, power-source.plist,
//   network-type.plist   {"State": name}; thermal.plist may add {"Available": false}
//   capabilities.plist   {"Capabilities": bits, "Event": n}; every change has a new n
//   sleep-answer.plist   {"Event": n, "WakeDate": date, "WakeReason": text} answers the
//                        sleep announcement n (the wake entries only with a request)
//   sleep-holds.plist    {"Holds": [{"AssertType", "AssertLevel", "AssertName",
//                        "AssertPID", "Process Name"}]}: other processes' holds
//   assertions/<pid>.plist {"Process Name": name, "Assertions": [{"AssertID", "AssertType",
//                        "AssertName", "Details"}]}: the power assertions a process holds
// A missing file means the state's first value (idle, great, nominal, AC, unknown; full
// wake; no holds).
namespace machine::sim {

std::string folder();
std::string filePath(const char* name);
std::string assertionsFolder();

inline constexpr const char* kCapabilitiesFile = "capabilities.plist";
inline constexpr const char* kSleepAnswerFile = "sleep-answer.plist";
inline constexpr const char* kSleepHoldsFile = "sleep-holds.plist";
inline constexpr const char* kStateKey = "State";
inline constexpr const char* kAvailableKey = "Available";

template <class State>
const char* stateFile();
template <>
inline const char* stateFile<UserActivity>() {
    return "user-activity.plist";
}
template <>
inline const char* stateFile<SystemLoad>() {
    return "system-load.plist";
}
template <>
inline const char* stateFile<ThermalLevel>() {
    return "thermal.plist";
}
template <>
inline const char* stateFile<PowerSource>() {
    return "power-source.plist";
}
template <>
inline const char* stateFile<NetworkType>() {
    return "network-type.plist";
}

// Creates the folder (and its parents) when missing.
bool ensureFolder(const std::string& path, std::string* error);

// The simulated files are small; a larger one is refused as unreadable.
inline constexpr std::size_t kMaxFileSize = 1024 * 1024;

// Reads a dictionary file (the value is a dictionary, never through a symbolic link);
// nullopt with `error` filled when it is missing (`missing` set), unreadable, larger than
// kMaxFileSize or no property-list dictionary.
std::optional<plist::Value> readDictionary(const std::string& path, std::string* error,
                                           bool* missing = nullptr);

// Replaces the file atomically with the binary form of `value` (files::replaceFile: a crash
// leaves the old or the new file; a link at `path` is replaced, not followed).
bool writeFile(const std::string& path, const plist::Value& value, std::string* error);

// The state a state file holds: its first value when the file is missing or unreadable.
template <class State>
State readState() {
    std::string ignored;
    const auto file = readDictionary(filePath(stateFile<State>()), &ignored);
    const plist::Value* name = file ? file->find(kStateKey) : nullptr;
    const auto state =
        name && name->asString() ? parseState<State>(*name->asString()) : std::nullopt;
    return state.value_or(State{});
}

// Becomes readable when the file `name` in the simulated folder is written, replaced or
// removed (the folder is created first).
EventFeedFactory fileChanges(std::string name);

// Holds a lock on the folder for a read-modify-write of its files between processes.
class FolderLock {
public:
    FolderLock();
    bool locked() const { return fd_.valid(); }

private:
    files::Descriptor fd_;
};

} // namespace machine::sim

#pragma once

#include "platform/calendar/Date.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace machine {

// What the machine can do at the moment. A user wake has graphics; a dark wake has the CPU
// without graphics; background tasks need the CPU, the network and the disks.
enum Capability : unsigned {
    kCapabilityCPU = 0x1,
    kCapabilityGraphics = 0x2,
    kCapabilityAudio = 0x4,
    kCapabilityNetwork = 0x8,
    kCapabilityDisk = 0x10,
};

inline constexpr unsigned kFullWake = 0x1F;
inline constexpr unsigned kDarkWakeWithBackgroundTasks = 0x19;
inline constexpr unsigned kDarkWake = 0x1;
// The capabilities announced just before the machine sleeps.
inline constexpr unsigned kSleepAnnouncement = 0;

constexpr bool isUserWake(unsigned bits) {
    return (bits & kCapabilityGraphics) != 0;
}
constexpr bool isDarkWake(unsigned bits) {
    return (bits & kCapabilityCPU) != 0 && (bits & kCapabilityGraphics) == 0;
}
constexpr bool allowsBackgroundTask(unsigned bits) {
    constexpr unsigned needed = kCapabilityCPU | kCapabilityNetwork | kCapabilityDisk;
    return (bits & needed) == needed;
}

// The states, with the values the rest of the system stores and compares.
enum class UserActivity : unsigned { Idle = 0, Active = 1, Passive = 2 };
enum class SystemLoad : unsigned { Great = 0, OK = 1, Bad = 2 };
enum class ThermalLevel : unsigned { Nominal = 0, Moderate = 1, Heavy = 2 };
enum class PowerSource : unsigned { AC = 0, Battery = 1 };
enum class NetworkType : unsigned { Unknown = 0, WiFi = 1, Wired = 2 };
// What the capability bits come to for the scheduler (Linux has no dark wake).
enum class PowerState : unsigned { FullWake = 0, DarkWake = 1, Sleep = 2 };
// Whether another process keeps the machine from idle sleep.
enum class Assertions : unsigned { None = 0, SleepPrevented = 1 };

// The name of each state value, indexed by the value: the words the log prints and the
// simulated machine's files and tool use.
template <class State>
struct StateNames;
template <>
struct StateNames<UserActivity> {
    static constexpr std::array<const char*, 3> names{"idle", "active", "passive"};
};
template <>
struct StateNames<SystemLoad> {
    static constexpr std::array<const char*, 3> names{"great", "OK", "bad"};
};
template <>
struct StateNames<ThermalLevel> {
    static constexpr std::array<const char*, 3> names{"nominal", "moderate", "heavy"};
};
template <>
struct StateNames<PowerSource> {
    static constexpr std::array<const char*, 2> names{"AC", "battery"};
};
template <>
struct StateNames<NetworkType> {
    static constexpr std::array<const char*, 3> names{"unknown", "wifi", "wired"};
};

template <>
struct StateNames<PowerState> {
    static constexpr std::array<const char*, 3> names{"full wake", "dark wake", "sleep"};
};
template <>
struct StateNames<Assertions> {
    static constexpr std::array<const char*, 2> names{"none", "sleep prevented"};
};

template <class State>
const char* stateName(State state) {
    const auto& names = StateNames<State>::names;
    const auto index = static_cast<unsigned>(state);
    return index < names.size() ? names[index] : "unknown";
}

bool equalIgnoringCase(std::string_view a, std::string_view b);

// The value named `name` (letter case does not matter); nullopt for any other word.
template <class State>
std::optional<State> parseState(std::string_view name) {
    const auto& names = StateNames<State>::names;
    for (unsigned i = 0; i < names.size(); ++i) {
        if (equalIgnoringCase(name, names[i])) {
            return static_cast<State>(i);
        }
    }
    return std::nullopt;
}

// The one wake request that may answer a sleep announcement: when to wake and why.
struct WakeRequest {
    cal::Date date = 0;
    std::string reason;

    bool operator==(const WakeRequest&) const = default;
};

// A process's hold that may keep the machine from idle sleep, as power management lists
// them: "AssertType", "AssertLevel" (255 blocks, 0 does not), "AssertName", "AssertPID" and
// "Process Name".
struct SleepHold {
    std::string type;
    int level = 0;
    std::string name;
    pid_t pid = 0;
    std::string processName;

    bool operator==(const SleepHold&) const = default;
};

inline constexpr const char* kPreventUserIdleSystemSleep = "PreventUserIdleSystemSleep";
inline constexpr const char* kBackgroundTask = "BackgroundTask";
inline constexpr int kHoldLevelOn = 255;
inline constexpr int kHoldLevelOff = 0;

} // namespace machine

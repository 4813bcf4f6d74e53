#pragma once

#include "platform/machine/MachineState.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace machine::sim {

// A power assertion some process holds on the simulated machine.
struct HeldAssertion {
    pid_t pid = 0;
    std::string processName;
    std::uint32_t id = 0;
    std::string type;
    std::string name;
    std::string details;
};

// How the daemon answered a sleep announcement.
struct SleepAnswer {
    std::optional<WakeRequest> wakeRequest;
};

// Drives the simulated machine through its files: what the kbesim tool does.
// Every operation returns false (or nullopt) with `error` filled when it fails.
class SimulatedMachine {
public:
    // Sets the state called `state` ("user-activity", "system-load", "thermal",
    // "power-source", "network-type") to the value named `value` ("passive", "battery"...).
    // Thermal also takes "unavailable" (and any level makes it available again).
    bool setState(std::string_view state, std::string_view value, std::string* error);

    // The state names and the value names each takes, for usage texts.
    static std::vector<std::pair<std::string, std::vector<std::string>>> stateNames();

    // Announces capabilities as a new event and returns its number.
    std::optional<std::int64_t> announce(unsigned capabilities, std::string* error);

    // Waits up to `timeout` for the answer to sleep announcement `event`.
    std::optional<SleepAnswer>
    waitForSleepAnswer(std::int64_t event, std::chrono::milliseconds timeout, std::string* error);

    // Other processes' holds on idle sleep.
    bool addHold(const SleepHold& hold, std::string* error);
    // Removes the holds named `name` of process `pid`; false when there is none.
    bool removeHold(std::string_view name, pid_t pid, std::string* error);
    std::optional<std::vector<SleepHold>> holds(std::string* error);

    // The power assertions of running processes (records of exited ones are left out).
    std::optional<std::vector<HeldAssertion>> heldAssertions(std::string* error);

private:
    bool writeHolds(const std::vector<SleepHold>& holds, std::string* error);
};

} // namespace machine::sim

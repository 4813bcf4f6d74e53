#pragma once

#include "platform/dispatch/Queue.h"
#include "platform/machine/MachineState.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace machine {

// Follows one machine state. start() registers with the system and from then on hands each
// new reading to `changed` on `queue` (a reading may repeat the previous one: the caller
// compares); stop() ends the registration, after which no call of `changed` starts.
// current() reads the state now, registered or not. start() and stop() alternate; stop()
// without start() does nothing. Any thread may call them.
template <class State>
class StateSource {
public:
    using Handler = std::function<void(State)>;

    virtual ~StateSource() = default;
    // False (with `error` filled) when the system refuses the registration; the source is
    // then not started.
    virtual bool start(const dispatch::QueuePtr& queue, Handler changed, std::string* error) = 0;
    virtual void stop() = 0;
    virtual State current() = 0;
};

using UserActivitySource = StateSource<UserActivity>;
using SystemLoadSource = StateSource<SystemLoad>;
using PowerSourceSource = StateSource<PowerSource>;

class ThermalSource : public StateSource<ThermalLevel> {
public:
    // Whether this machine reports thermal changes at all; when it does not, the source is
    // never started and the level stays nominal.
    virtual bool available() = 0;
};

// The network type's first reading comes through `changed` shortly after start(), like
// every later one.
using NetworkTypeSource = StateSource<NetworkType>;

// Capability changes of the machine, the sleep announcement among them (capabilities 0).
// Every change handed to `changed` is answered with acknowledge(); for a sleep
// announcement the machine goes to sleep only then, and the wake request given, if any,
// is armed to wake it.
class PowerStateSource {
public:
    using Handler = std::function<void(unsigned capabilities)>;

    virtual ~PowerStateSource() = default;
    virtual bool start(const dispatch::QueuePtr& queue, Handler changed, std::string* error) = 0;
    virtual void stop() = 0;
    virtual unsigned currentCapabilities() = 0;
    virtual void acknowledge(const std::optional<WakeRequest>& request) = 0;
};

// Other processes' holds on idle sleep, read when asked (the caller polls while one is
// present). Every process's holds are listed, the caller's own too.
class SleepPreventerSource {
public:
    virtual ~SleepPreventerSource() = default;
    // False (with `error` filled) when the holds cannot be read.
    virtual bool copyHolds(std::vector<SleepHold>* holds, std::string* error) = 0;
};

// The holds this process takes to keep the machine from idle sleep while it works.
class PowerAssertions {
public:
    virtual ~PowerAssertions() = default;
    // `type` is kPreventUserIdleSystemSleep or kBackgroundTask. Returns the hold's id, never
    // 0; 0 (with `error` filled) when no hold was taken.
    virtual std::uint32_t create(std::string_view type, std::string_view name,
                                 std::string_view details, std::string* error) = 0;
    // Releases the hold; unknown ids are ignored.
    virtual void release(std::uint32_t id) = 0;
};

// A line a source logs itself (the wake alarm's fallback), with the product's level.
using LogLine = std::function<void(int level, const std::string& text)>;

// What to build a set of sources with.
struct SourceOptions {
    // Whether user activity tells a passive user apart (newer systems); without it the
    // states are idle and active only.
    bool passiveUserActivity = true;
    // The product's name, under which the sources take their system registrations.
    std::string productName = "keelbrook";
    LogLine log = [](int, const std::string&) {
    };
};

// Every machine-state source of one implementation.
struct Sources {
    std::unique_ptr<UserActivitySource> userActivity;
    std::unique_ptr<SystemLoadSource> systemLoad;
    std::unique_ptr<ThermalSource> thermal;
    std::unique_ptr<PowerSourceSource> powerSource;
    std::unique_ptr<PowerStateSource> powerState;
    std::unique_ptr<SleepPreventerSource> sleepPreventers;
    std::unique_ptr<NetworkTypeSource> networkType;
};

} // namespace machine

#pragma once

#include "common/VRNEnvironment.h"
#include "platform/calendar/Date.h"
#include "platform/dispatch/LockQueue.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Source.h"
#include "platform/machine/Sources.h"

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// Event bits: which machine states an observer follows or which changed.
enum VRNSystemEvent : unsigned {
    VRNSystemEventUserActivity = 0x1,
    VRNSystemEventSystemLoad = 0x2,
    VRNSystemEventThermalLevel = 0x4,
    VRNSystemEventPowerSource = 0x8,
    VRNSystemEventPowerState = 0x10,
    VRNSystemEventAssertions = 0x20,
    VRNSystemEventNetworkType = 0x40,
};

// Power states, by the names the rules use.
inline constexpr machine::PowerState VRNPowerStateFullWake = machine::PowerState::FullWake;
inline constexpr machine::PowerState VRNPowerStateDarkWake = machine::PowerState::DarkWake;
inline constexpr machine::PowerState VRNPowerStateSleep = machine::PowerState::Sleep;

// A state subscription; the token given back to removeObserver.
struct VRNSystemEventsObserver {
    dispatch::QueuePtr queue; // null: called on the manager's queue
    std::function<void(unsigned changedEvents)> handler;
    unsigned eventSet = 0;
};

// A sleep subscription. The handler may fill both a wake date and a reason; a request
// counts only with both.
struct VRNSleepEventObserver {
    using Handler = std::function<void(std::optional<cal::Date>& wakeDate,
                                       std::optional<std::string>& wakeReason)>;
    dispatch::QueuePtr queue; // null: called on the manager's queue
    Handler handler;
};

// The daemon's single source of machine state: watches each source only while somebody
// needs it, keeps the last value of each, tells observers which states changed, gathers
// wake requests when the machine announces sleep, and remembers for ten seconds that the
// machine has just woken.
class VRNSystemEventsManager {
public:
    // The manager of the process's environment.
    static VRNSystemEventsManager& sharedManager();

    // A manager on the sources of the environment's machine; this process's own sleep holds
    // are not counted.
    explicit VRNSystemEventsManager(const VRNEnvironment& environment);
    // A manager on the given sources (tests); `ownPid`'s sleep holds are not counted.
    VRNSystemEventsManager(const VRNEnvironment& environment, machine::Sources sources,
                           pid_t ownPid);
    // How the sources are built in `environment`.
    static machine::SourceOptions sourceOptions(const VRNEnvironment& environment);

    // Each getter registers its source on first use, then returns the stored state.
    machine::UserActivity userActivity();
    machine::SystemLoad systemLoad();
    machine::ThermalLevel thermalLevel();
    machine::PowerSource powerSource();
    machine::PowerState powerState();
    machine::Assertions assertions();
    machine::NetworkType networkType();
    // True for ten seconds after a wake; read without the lock.
    bool recentWake() const { return _recentWake.load(); }

    std::shared_ptr<VRNSystemEventsObserver>
    addObserverForEventSet(unsigned eventSet, dispatch::QueuePtr queue,
                           std::function<void(unsigned changedEvents)> handler);
    std::shared_ptr<VRNSleepEventObserver>
    addObserverForSleepEventWithQueue(dispatch::QueuePtr queue,
                                      VRNSleepEventObserver::Handler handler);
    void removeObserver(const std::shared_ptr<VRNSystemEventsObserver>& observer);
    void removeObserver(const std::shared_ptr<VRNSleepEventObserver>& observer);

    // Calls the observers that follow any of `events`.
    void notifyEventSet(unsigned events);

    // Stops every source and timer (test managers; the shared one lives for ever).
    ~VRNSystemEventsManager();
    VRNSystemEventsManager(const VRNSystemEventsManager&) = delete;
    VRNSystemEventsManager& operator=(const VRNSystemEventsManager&) = delete;

private:
    // One event bit: how its state is logged, and how its source is registered,
    // unregistered and read (tables in the .cpp file).
    struct EventKind;
    enum class Registration { Started, Failed, Unavailable };
    static constexpr unsigned kEventCount = 7;
    static const EventKind* _kindOf(unsigned event);

    // All of these run holding _internalLock.
    void _registerEvents(unsigned eventSet);
    bool _registerEvent(const EventKind& kind);
    template <class State>
    Registration _startStateSource(machine::StateSource<State>& source, unsigned event);
    unsigned _registeredState(unsigned event);
    unsigned& _storedState(unsigned event);
    void _logState(const EventKind& kind) const;
    machine::PowerState _powerStateWithCapabilityBits(unsigned bits) const;
    void _systemDidWake();
    bool _updateAssertions();
    machine::Assertions _scanAssertions() const;
    unsigned _remainingEventSet() const;

    // Platform callbacks and timers, on _internalQueue; they take the lock themselves.
    void _updateState(unsigned event, unsigned state);
    void updatePowerStateWithCapabilityBits(unsigned bits);
    void handleNewCapabilities(unsigned bits);
    void _assertionsTimerFired();

    const dispatch::QueuePtr _internalQueue;
    dispatch::LockQueue _internalLock{"com.vornhal.system-events-manager.lock"};
    std::vector<std::shared_ptr<VRNSystemEventsObserver>> _observers;
    std::vector<std::shared_ptr<VRNSleepEventObserver>> _sleepObservers;
    unsigned _eventSet = 0;
    std::unique_ptr<dispatch::TimerSource> _recentWakeTimer;
    std::unique_ptr<dispatch::TimerSource> _assertionsTimer;
    // The machine's registrations: one source per state, started while its bit is in
    // _eventSet.
    const machine::Sources _sources;
    const pid_t _ownPid;
    // Older systems cannot tell the network type: it then stays unknown.
    const bool _networkTypeAvailable;
    // The last state of each event, indexed by the bit's position (user activity first);
    // the getters hand them out as their enums.
    std::array<unsigned, kEventCount> _states{};
    std::atomic<bool> _recentWake{false};
};

#include "scheduler/events/VRNSystemEventsManager.h"

#include "common/VRNEnvironment.h"
#include "common/VRNLog.h"
#include "common/VRNProcessInfo.h"
#include "common/VRNQueue.h"
#include "common/VRNSystemVersionManager.h"
#include "platform/dispatch/Group.h"

#include <algorithm>
#include <chrono>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

constexpr unsigned kAllEvents = 0x7F;
constexpr auto kRecentWakeInterval = 10s;
constexpr auto kAssertionsPollInterval = 60s;
constexpr auto kTimerLeeway = 1s;

const char* powerStateName(unsigned state) {
    static constexpr const char* names[] = {"full wake", "dark wake", "sleep"};
    return state < std::size(names) ? names[state] : "unknown";
}

const char* assertionsName(unsigned state) {
    return state == 0 ? "none" : "sleep prevented";
}

// Holds that keep the machine awake only while media plays: they are not counted as
// preventing sleep.
bool isIgnoredHold(const machine::SleepHold& hold) {
    return hold.processName == "coreaudiod" || hold.name == "com.apple.iTunes.playback" ||
           hold.name == "com.apple.Music.playback" ||
           hold.name.find("HTMLMediaElement playback") != std::string::npos;
}

template <class T>
void eraseByIdentity(std::vector<std::shared_ptr<T>>& list, const std::shared_ptr<T>& item) {
    list.erase(std::remove(list.begin(), list.end(), item), list.end());
}

} // namespace

VRNSystemEventsManager& VRNSystemEventsManager::sharedManager() {
    static VRNSystemEventsManager* const shared =
        new VRNSystemEventsManager(VRNEnvironment::shared());
    return *shared;
}

machine::SourceOptions VRNSystemEventsManager::sourceOptions(const VRNEnvironment& environment) {
    machine::SourceOptions options;
    options.passiveUserActivity = environment.versions->runningAtLeast(VRNSystemVersion10_10);
    options.productName = VRNProcessInfo::productName();
    options.log = [](int level, const std::string& text) {
        VRNLog(level, "%@", text);
    };
    return options;
}

VRNSystemEventsManager::VRNSystemEventsManager(const VRNEnvironment& environment)
    : VRNSystemEventsManager(environment,
                             environment.requireMachine().createSources(sourceOptions(environment)),
                             ::getpid()) {}

VRNSystemEventsManager::VRNSystemEventsManager(const VRNEnvironment& environment,
                                               machine::Sources sources, pid_t ownPid)
    : _internalQueue(VRNQueueCreate("com.vornhal.system-events-manager", environment.logicQueue)),
      _sources(std::move(sources)), _ownPid(ownPid),
      _networkTypeAvailable(environment.versions->runningAtLeast(VRNSystemVersion10_14)) {}

VRNSystemEventsManager::~VRNSystemEventsManager() {
    _internalLock.sync([this] {
        _registerEvents(0);
        _observers.clear();
        _sleepObservers.clear();
    });
    // Platform callbacks queued before the sources stopped still use this object.
    _internalQueue->sync([] {});
}

// MARK: - States

unsigned VRNSystemEventsManager::userActivity() {
    return _registeredState(VRNSystemEventUserActivity);
}

unsigned VRNSystemEventsManager::systemLoad() {
    return _registeredState(VRNSystemEventSystemLoad);
}

unsigned VRNSystemEventsManager::thermalLevel() {
    if (!_sources.thermal->available()) {
        return 0;
    }
    return _registeredState(VRNSystemEventThermalLevel);
}

unsigned VRNSystemEventsManager::powerSource() {
    return _registeredState(VRNSystemEventPowerSource);
}

unsigned VRNSystemEventsManager::powerState() {
    return _registeredState(VRNSystemEventPowerState);
}

unsigned VRNSystemEventsManager::networkType() {
    return _registeredState(VRNSystemEventNetworkType);
}

unsigned VRNSystemEventsManager::_registeredState(unsigned event) {
    return _internalLock.sync([&] {
        if ((_eventSet & event) == 0) {
            _registerEvents(_eventSet | event);
        }
        return _storedState(event);
    });
}

unsigned& VRNSystemEventsManager::_storedState(unsigned event) {
    switch (event) {
    case VRNSystemEventUserActivity:
        return _userActivity;
    case VRNSystemEventSystemLoad:
        return _systemLoad;
    case VRNSystemEventThermalLevel:
        return _thermalLevel;
    case VRNSystemEventPowerSource:
        return _powerSource;
    case VRNSystemEventPowerState:
        return _powerState;
    case VRNSystemEventAssertions:
        return _assertions;
    default:
        return _networkType;
    }
}

void VRNSystemEventsManager::_logState(unsigned event) const {
    switch (event) {
    case VRNSystemEventUserActivity:
        VRNLog(VRNLogLevelDebug, "User Activity: %@.",
               machine::stateName(static_cast<machine::UserActivity>(_userActivity)));
        break;
    case VRNSystemEventSystemLoad:
        VRNLog(VRNLogLevelDebug, "Advisory: %@.",
               machine::stateName(static_cast<machine::SystemLoad>(_systemLoad)));
        break;
    case VRNSystemEventThermalLevel:
        VRNLog(VRNLogLevelDebug, "Thermal: %@.",
               machine::stateName(static_cast<machine::ThermalLevel>(_thermalLevel)));
        break;
    case VRNSystemEventPowerSource:
        VRNLog(VRNLogLevelDebug, "Power Source: %@.",
               machine::stateName(static_cast<machine::PowerSource>(_powerSource)));
        break;
    case VRNSystemEventPowerState:
        VRNLog(VRNLogLevelDebug, "Power State: %@.", powerStateName(_powerState));
        break;
    case VRNSystemEventAssertions:
        VRNLog(VRNLogLevelDebug, "Assertions: %@.", assertionsName(_assertions));
        break;
    case VRNSystemEventNetworkType:
        VRNLog(VRNLogLevelDebug, "Network Type: %@.",
               machine::stateName(static_cast<machine::NetworkType>(_networkType)));
        break;
    }
}

// MARK: - Registration

void VRNSystemEventsManager::_registerEvents(unsigned eventSet) {
    eventSet &= kAllEvents;
    for (unsigned event = 1; event <= kAllEvents; event <<= 1) {
        const bool wanted = (eventSet & event) != 0;
        const bool registered = (_eventSet & event) != 0;
        if (wanted && !registered && !_registerEvent(event)) {
            eventSet &= ~event;
        } else if (!wanted && registered) {
            _unregisterEvent(event);
        }
    }
    _eventSet = eventSet;
}

template <class State>
bool VRNSystemEventsManager::_startStateSource(machine::StateSource<State>& source,
                                               unsigned event) {
    std::string error;
    const bool started = source.start(
        _internalQueue,
        [this, event](State state) { _updateState(event, static_cast<unsigned>(state)); }, &error);
    if (started) {
        _storedState(event) = static_cast<unsigned>(source.current());
        _logState(event);
    } else {
        _logRegistrationFailure(event);
    }
    return started;
}

void VRNSystemEventsManager::_logRegistrationFailure(unsigned event) const {
    switch (event) {
    case VRNSystemEventUserActivity:
        VRNLog(VRNLogLevelError, "Failed to register activity notification.");
        break;
    case VRNSystemEventSystemLoad:
        VRNLog(VRNLogLevelError, "Failed to register advisory notification.");
        break;
    case VRNSystemEventThermalLevel:
        VRNLog(VRNLogLevelError, "Failed to register thermal notification.");
        break;
    case VRNSystemEventPowerSource:
        VRNLog(VRNLogLevelError, "Failed to register power source notification.");
        break;
    }
}

// Starts the source of `event`. False only when the bit is not to be kept: a failed
// registration keeps it, so that it is not tried again.
bool VRNSystemEventsManager::_registerEvent(unsigned event) {
    std::string ignored;
    switch (event) {
    case VRNSystemEventUserActivity:
        _startStateSource(*_sources.userActivity, event);
        break;
    case VRNSystemEventSystemLoad:
        _startStateSource(*_sources.systemLoad, event);
        break;
    case VRNSystemEventThermalLevel:
        if (!_sources.thermal->available()) {
            VRNLog(VRNLogLevelDebug, "Thermal notifications are not available.");
            return false;
        }
        _startStateSource(*_sources.thermal, event);
        break;
    case VRNSystemEventPowerSource:
        _startStateSource(*_sources.powerSource, event);
        break;
    case VRNSystemEventPowerState:
        // The power state degrades silently: without a registration it keeps its value.
        if (_sources.powerState->start(
                _internalQueue, [this](unsigned bits) { handleNewCapabilities(bits); }, &ignored)) {
            _powerState = _powerStateWithCapabilityBits(_sources.powerState->currentCapabilities());
            _logState(event);
        }
        break;
    case VRNSystemEventAssertions:
        // Read when asked (assertions()), polled only while another process prevents sleep.
        break;
    case VRNSystemEventNetworkType:
        // Older systems cannot tell the network type: it stays unknown. The first reading
        // arrives through the handler, like every later one.
        if (_networkTypeAvailable) {
            _sources.networkType->start(
                _internalQueue,
                [this](machine::NetworkType type) {
                    _updateState(VRNSystemEventNetworkType, static_cast<unsigned>(type));
                },
                &ignored);
        }
        break;
    }
    return true;
}

void VRNSystemEventsManager::_unregisterEvent(unsigned event) {
    switch (event) {
    case VRNSystemEventUserActivity:
        _sources.userActivity->stop();
        break;
    case VRNSystemEventSystemLoad:
        _sources.systemLoad->stop();
        break;
    case VRNSystemEventThermalLevel:
        _sources.thermal->stop();
        break;
    case VRNSystemEventPowerSource:
        _sources.powerSource->stop();
        break;
    case VRNSystemEventPowerState:
        _sources.powerState->stop();
        if (_recentWakeTimer) {
            _recentWakeTimer->cancel();
            _recentWakeTimer.reset();
        }
        _recentWake = false;
        break;
    case VRNSystemEventAssertions:
        _assertions = 0;
        if (_assertionsTimer) {
            _assertionsTimer->cancel();
            _assertionsTimer.reset();
        }
        break;
    case VRNSystemEventNetworkType:
        _sources.networkType->stop();
        break;
    }
}

// MARK: - Observers

std::shared_ptr<VRNSystemEventsObserver>
VRNSystemEventsManager::addObserverForEventSet(unsigned eventSet, dispatch::QueuePtr queue,
                                               std::function<void(unsigned)> handler) {
    auto observer = std::make_shared<VRNSystemEventsObserver>(
        VRNSystemEventsObserver{std::move(queue), std::move(handler), eventSet});
    _internalLock.sync([&] {
        _observers.push_back(observer);
        _registerEvents(_eventSet | eventSet);
    });
    return observer;
}

std::shared_ptr<VRNSleepEventObserver>
VRNSystemEventsManager::addObserverForSleepEventWithQueue(dispatch::QueuePtr queue,
                                                          VRNSleepEventObserver::Handler handler) {
    auto observer = std::make_shared<VRNSleepEventObserver>(
        VRNSleepEventObserver{std::move(queue), std::move(handler)});
    _internalLock.sync([&] {
        _sleepObservers.push_back(observer);
        _registerEvents(_eventSet | VRNSystemEventPowerState);
    });
    return observer;
}

void VRNSystemEventsManager::removeObserver(
    const std::shared_ptr<VRNSystemEventsObserver>& observer) {
    _internalLock.sync([&] {
        eraseByIdentity(_observers, observer);
        _registerEvents(_remainingEventSet());
    });
}

void VRNSystemEventsManager::removeObserver(
    const std::shared_ptr<VRNSleepEventObserver>& observer) {
    _internalLock.sync([&] {
        eraseByIdentity(_sleepObservers, observer);
        _registerEvents(_remainingEventSet());
    });
}

// What the remaining subscribers need; sources only a getter asked for are dropped too.
unsigned VRNSystemEventsManager::_remainingEventSet() const {
    unsigned eventSet = 0;
    for (const auto& observer : _observers) {
        eventSet |= observer->eventSet;
    }
    if (!_sleepObservers.empty()) {
        eventSet |= VRNSystemEventPowerState;
    }
    return eventSet;
}

void VRNSystemEventsManager::notifyEventSet(unsigned events) {
    const auto observers = _internalLock.sync([this] { return _observers; });
    for (const auto& observer : observers) {
        if ((observer->eventSet & events) == 0) {
            continue;
        }
        if (observer->queue) {
            observer->queue->async([observer, events] { observer->handler(events); });
        } else {
            observer->handler(events);
        }
    }
}

// MARK: - Changes

void VRNSystemEventsManager::_updateState(unsigned event, unsigned state) {
    const bool changed = _internalLock.sync([&] {
        unsigned& stored = _storedState(event);
        if ((_eventSet & event) == 0 || stored == state) {
            return false;
        }
        stored = state;
        _logState(event);
        return true;
    });
    if (changed) {
        notifyEventSet(event);
    }
}

unsigned VRNSystemEventsManager::_powerStateWithCapabilityBits(unsigned bits) const {
    VRNLog(VRNLogLevelDebug, "New capability bits: %x", bits);
    if (machine::isUserWake(bits)) {
        return VRNPowerStateFullWake;
    }
    if (!machine::isDarkWake(bits)) {
        return VRNPowerStateSleep;
    }
    return machine::allowsBackgroundTask(bits) ? VRNPowerStateDarkWake : VRNPowerStateSleep;
}

void VRNSystemEventsManager::updatePowerStateWithCapabilityBits(unsigned bits) {
    const bool changed = _internalLock.sync([&] {
        if ((_eventSet & VRNSystemEventPowerState) == 0) {
            return false;
        }
        const unsigned state = _powerStateWithCapabilityBits(bits);
        const unsigned previous = _powerState;
        if (state == previous) {
            return false;
        }
        _powerState = state;
        _logState(VRNSystemEventPowerState);
        if (state != VRNPowerStateSleep && previous != VRNPowerStateFullWake) {
            _systemDidWake();
        }
        return true;
    });
    if (changed) {
        notifyEventSet(VRNSystemEventPowerState);
    }
}

void VRNSystemEventsManager::_systemDidWake() {
    VRNLog(VRNLogLevelDebug, "System did wake.");
    _recentWake = true;
    if (!_recentWakeTimer) {
        _recentWakeTimer = std::make_unique<dispatch::TimerSource>(_internalQueue,
                                                                   [this] { _recentWake = false; });
    }
    _recentWakeTimer->schedule(dispatch::afterNow(kRecentWakeInterval), dispatch::Duration::zero(),
                               kTimerLeeway);
}

// MARK: - Sleep

namespace {

// The earliest complete wake request of the sleep observers' answers.
struct WakeRequests {
    std::optional<machine::WakeRequest> earliest;

    void merge(const std::optional<cal::Date>& date, const std::optional<std::string>& reason) {
        if (date && reason && (!earliest || *date < earliest->date)) {
            earliest = machine::WakeRequest{*date, *reason};
        }
    }
};

} // namespace

void VRNSystemEventsManager::handleNewCapabilities(unsigned bits) {
    updatePowerStateWithCapabilityBits(bits);
    if (bits != machine::kSleepAnnouncement) {
        _sources.powerState->acknowledge(std::nullopt);
        return;
    }
    const auto observers = _internalLock.sync([this] { return _sleepObservers; });
    auto requests = std::make_shared<WakeRequests>();
    dispatch::Group answered;
    for (const auto& observer : observers) {
        if (!observer->queue) {
            std::optional<cal::Date> date;
            std::optional<std::string> reason;
            observer->handler(date, reason);
            requests->merge(date, reason);
            continue;
        }
        answered.enter();
        observer->queue->async([observer, requests, answered, queue = _internalQueue]() mutable {
            std::optional<cal::Date> date;
            std::optional<std::string> reason;
            observer->handler(date, reason);
            queue->async([requests, answered, date, reason]() mutable {
                requests->merge(date, reason);
                answered.leave();
            });
        });
    }
    answered.notify(_internalQueue,
                    [this, requests] { _sources.powerState->acknowledge(requests->earliest); });
}

// MARK: - Sleep preventers

unsigned VRNSystemEventsManager::assertions() {
    return _internalLock.sync([this] {
        if (_assertions == 1) {
            return 1u;
        }
        if (_updateAssertions()) {
            _assertionsTimer = std::make_unique<dispatch::TimerSource>(
                _internalQueue, [this] { _assertionsTimerFired(); });
            _assertionsTimer->schedule(dispatch::afterNow(kAssertionsPollInterval),
                                       kAssertionsPollInterval, kTimerLeeway);
        }
        return _assertions;
    });
}

void VRNSystemEventsManager::_assertionsTimerFired() {
    const bool changed = _internalLock.sync([this] {
        if (!_assertionsTimer || !_updateAssertions()) {
            return false;
        }
        _assertionsTimer->cancel();
        _assertionsTimer.reset();
        return true;
    });
    if (changed) {
        notifyEventSet(VRNSystemEventAssertions);
    }
}

bool VRNSystemEventsManager::_updateAssertions() {
    const unsigned state = _scanAssertions();
    if (state == _assertions) {
        return false;
    }
    _assertions = state;
    _logState(VRNSystemEventAssertions);
    return true;
}

unsigned VRNSystemEventsManager::_scanAssertions() const {
    std::vector<machine::SleepHold> holds;
    std::string ignored;
    if (!_sources.sleepPreventers->copyHolds(&holds, &ignored)) {
        return 0;
    }
    for (const auto& hold : holds) {
        if (hold.pid == _ownPid || hold.type != machine::kPreventUserIdleSystemSleep ||
            hold.level != machine::kHoldLevelOn || isIgnoredHold(hold)) {
            continue;
        }
        VRNLog(VRNLogLevelDebug, "Sleep prevented by %@[%@].", hold.processName,
               std::to_string(hold.pid));
        return 1;
    }
    return 0;
}

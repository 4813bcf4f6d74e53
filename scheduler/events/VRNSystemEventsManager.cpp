#include "scheduler/events/VRNSystemEventsManager.h"

#include "common/VRNEnvironment.h"
#include "common/VRNLog.h"
#include "common/VRNProcessInfo.h"
#include "common/VRNQueue.h"
#include "platform/dispatch/Group.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <span>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

constexpr unsigned kAllEvents = 0x7F;
constexpr auto kRecentWakeInterval = 10s;
constexpr auto kAssertionsPollInterval = 60s;
constexpr auto kTimerLeeway = 1s;

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

// MARK: - Event kinds

// One event bit and everything the manager does with it.
struct VRNSystemEventsManager::EventKind {
    unsigned bit;
    VRNFormatFor<const char*> logFormat;
    std::span<const char* const> stateTexts; // indexed by the state's value
    const char* failureText;                 // logged when registration fails; null: silent
    Registration (*start)(VRNSystemEventsManager& manager);
    void (*stop)(VRNSystemEventsManager& manager);
    // The state just after registering, logged; null where none is read then.
    unsigned (*read)(VRNSystemEventsManager& manager);

    const char* textOf(unsigned state) const {
        return state < stateTexts.size() ? stateTexts[state] : "unknown";
    }
};

namespace {

template <class State>
constexpr std::span<const char* const> textsOf() {
    return machine::StateNames<State>::names;
}

} // namespace

const VRNSystemEventsManager::EventKind* VRNSystemEventsManager::_kindOf(unsigned event) {
    using M = VRNSystemEventsManager;
    static const EventKind kinds[kEventCount] = {
        {VRNSystemEventUserActivity, "User Activity: %@.", textsOf<machine::UserActivity>(),
         "Failed to register activity notification.",
         [](M& m) {
             return m._startStateSource(*m._sources.userActivity, VRNSystemEventUserActivity);
         },
         [](M& m) { m._sources.userActivity->stop(); },
         [](M& m) {
             return static_cast<unsigned>(m._sources.userActivity->current());
         }},
        {VRNSystemEventSystemLoad, "Advisory: %@.", textsOf<machine::SystemLoad>(),
         "Failed to register advisory notification.",
         [](M& m) { return m._startStateSource(*m._sources.systemLoad, VRNSystemEventSystemLoad); },
         [](M& m) { m._sources.systemLoad->stop(); },
         [](M& m) {
             return static_cast<unsigned>(m._sources.systemLoad->current());
         }},
        {VRNSystemEventThermalLevel, "Thermal: %@.", textsOf<machine::ThermalLevel>(),
         "Failed to register thermal notification.",
         [](M& m) {
             if (!m._sources.thermal->available()) {
                 VRNLog(VRNLogLevelDebug, "Thermal notifications are not available.");
                 return Registration::Unavailable;
             }
             return m._startStateSource(*m._sources.thermal, VRNSystemEventThermalLevel);
         },
         [](M& m) { m._sources.thermal->stop(); },
         [](M& m) {
             return static_cast<unsigned>(m._sources.thermal->current());
         }},
        {VRNSystemEventPowerSource, "Power Source: %@.", textsOf<machine::PowerSource>(),
         "Failed to register power source notification.",
         [](M& m) {
             return m._startStateSource(*m._sources.powerSource, VRNSystemEventPowerSource);
         },
         [](M& m) { m._sources.powerSource->stop(); },
         [](M& m) {
             return static_cast<unsigned>(m._sources.powerSource->current());
         }},
        // The power state degrades silently: without a registration it keeps its value.
        {VRNSystemEventPowerState, "Power State: %@.", textsOf<machine::PowerState>(), nullptr,
         [](M& m) {
             std::string ignored;
             return m._sources.powerState->start(
                        m._internalQueue, [&m](unsigned bits) { m.handleNewCapabilities(bits); },
                        &ignored)
                        ? Registration::Started
                        : Registration::Failed;
         },
         [](M& m) {
             m._sources.powerState->stop();
             if (m._recentWakeTimer) {
                 m._recentWakeTimer->cancel();
                 m._recentWakeTimer.reset();
             }
             m._recentWake = false;
         },
         [](M& m) {
             return static_cast<unsigned>(
                 m._powerStateWithCapabilityBits(m._sources.powerState->currentCapabilities()));
         }},
        // Read when asked (assertions()), polled only while another process prevents sleep.
        {VRNSystemEventAssertions, "Assertions: %@.", textsOf<machine::Assertions>(), nullptr,
         [](M&) { return Registration::Started; },
         [](M& m) {
             m._storedState(VRNSystemEventAssertions) = 0;
             if (m._assertionsTimer) {
                 m._assertionsTimer->cancel();
                 m._assertionsTimer.reset();
             }
         },
         nullptr},
        // Older systems cannot tell the network type: it stays unknown. The first reading
        // arrives through the handler, like every later one.
        {VRNSystemEventNetworkType, "Network Type: %@.", textsOf<machine::NetworkType>(), nullptr,
         [](M& m) {
             if (!m._networkTypeAvailable) {
                 return Registration::Failed;
             }
             std::string ignored;
             return m._sources.networkType->start(
                        m._internalQueue,
                        [&m](machine::NetworkType type) {
                            m._updateState(VRNSystemEventNetworkType, static_cast<unsigned>(type));
                        },
                        &ignored)
                        ? Registration::Started
                        : Registration::Failed;
         },
         [](M& m) { m._sources.networkType->stop(); }, nullptr},
    };
    for (const EventKind& kind : kinds) {
        if (kind.bit == event) {
            return &kind;
        }
    }
    return nullptr;
}

// MARK: - States

machine::UserActivity VRNSystemEventsManager::userActivity() {
    return static_cast<machine::UserActivity>(_registeredState(VRNSystemEventUserActivity));
}

machine::SystemLoad VRNSystemEventsManager::systemLoad() {
    return static_cast<machine::SystemLoad>(_registeredState(VRNSystemEventSystemLoad));
}

machine::ThermalLevel VRNSystemEventsManager::thermalLevel() {
    if (!_sources.thermal->available()) {
        return machine::ThermalLevel::Nominal;
    }
    return static_cast<machine::ThermalLevel>(_registeredState(VRNSystemEventThermalLevel));
}

machine::PowerSource VRNSystemEventsManager::powerSource() {
    return static_cast<machine::PowerSource>(_registeredState(VRNSystemEventPowerSource));
}

machine::PowerState VRNSystemEventsManager::powerState() {
    return static_cast<machine::PowerState>(_registeredState(VRNSystemEventPowerState));
}

machine::NetworkType VRNSystemEventsManager::networkType() {
    return static_cast<machine::NetworkType>(_registeredState(VRNSystemEventNetworkType));
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
    return _states[static_cast<std::size_t>(std::countr_zero(event))];
}

void VRNSystemEventsManager::_logState(const EventKind& kind) const {
    const unsigned state = _states[static_cast<std::size_t>(std::countr_zero(kind.bit))];
    VRNLog(VRNLogLevelDebug, kind.logFormat, kind.textOf(state));
}

// MARK: - Registration

void VRNSystemEventsManager::_registerEvents(unsigned eventSet) {
    eventSet &= kAllEvents;
    for (unsigned event = 1; event <= kAllEvents; event <<= 1) {
        const EventKind& kind = *_kindOf(event);
        const bool wanted = (eventSet & event) != 0;
        const bool registered = (_eventSet & event) != 0;
        if (wanted && !registered && !_registerEvent(kind)) {
            eventSet &= ~event;
        } else if (!wanted && registered) {
            kind.stop(*this);
        }
    }
    _eventSet = eventSet;
}

// Starts the source of `kind`, then stores and logs its state, or logs the failure. False
// only when the bit is not to be kept: a failed registration keeps it, so that it is not
// tried again.
bool VRNSystemEventsManager::_registerEvent(const EventKind& kind) {
    switch (kind.start(*this)) {
    case Registration::Unavailable:
        return false;
    case Registration::Started:
        if (kind.read) {
            _storedState(kind.bit) = kind.read(*this);
            _logState(kind);
        }
        break;
    case Registration::Failed:
        if (kind.failureText) {
            VRNLog(VRNLogLevelError, "%@", kind.failureText);
        }
        break;
    }
    return true;
}

template <class State>
VRNSystemEventsManager::Registration
VRNSystemEventsManager::_startStateSource(machine::StateSource<State>& source, unsigned event) {
    std::string error;
    const bool started = source.start(
        _internalQueue,
        [this, event](State state) { _updateState(event, static_cast<unsigned>(state)); }, &error);
    return started ? Registration::Started : Registration::Failed;
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
        _logState(*_kindOf(event));
        return true;
    });
    if (changed) {
        notifyEventSet(event);
    }
}

machine::PowerState VRNSystemEventsManager::_powerStateWithCapabilityBits(unsigned bits) const {
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
        const machine::PowerState state = _powerStateWithCapabilityBits(bits);
        unsigned& stored = _storedState(VRNSystemEventPowerState);
        const auto previous = static_cast<machine::PowerState>(stored);
        if (state == previous) {
            return false;
        }
        stored = static_cast<unsigned>(state);
        _logState(*_kindOf(VRNSystemEventPowerState));
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

machine::Assertions VRNSystemEventsManager::assertions() {
    return _internalLock.sync([this] {
        // While prevented, the poll timer watches for the end: no rescan here.
        if (_storedState(VRNSystemEventAssertions) ==
            static_cast<unsigned>(machine::Assertions::SleepPrevented)) {
            return machine::Assertions::SleepPrevented;
        }
        if (_updateAssertions()) {
            _assertionsTimer = std::make_unique<dispatch::TimerSource>(
                _internalQueue, [this] { _assertionsTimerFired(); });
            _assertionsTimer->schedule(dispatch::afterNow(kAssertionsPollInterval),
                                       kAssertionsPollInterval, kTimerLeeway);
        }
        return static_cast<machine::Assertions>(_storedState(VRNSystemEventAssertions));
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
    const auto state = static_cast<unsigned>(_scanAssertions());
    unsigned& stored = _storedState(VRNSystemEventAssertions);
    if (state == stored) {
        return false;
    }
    stored = state;
    _logState(*_kindOf(VRNSystemEventAssertions));
    return true;
}

machine::Assertions VRNSystemEventsManager::_scanAssertions() const {
    std::vector<machine::SleepHold> holds;
    std::string ignored;
    if (!_sources.sleepPreventers->copyHolds(&holds, &ignored)) {
        return machine::Assertions::None;
    }
    for (const auto& hold : holds) {
        if (hold.pid == _ownPid || hold.type != machine::kPreventUserIdleSystemSleep ||
            hold.level != machine::kHoldLevelOn || isIgnoredHold(hold)) {
            continue;
        }
        VRNLog(VRNLogLevelDebug, "Sleep prevented by %@[%@].", hold.processName,
               std::to_string(hold.pid));
        return machine::Assertions::SleepPrevented;
    }
    return machine::Assertions::None;
}

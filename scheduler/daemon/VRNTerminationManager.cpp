#include "scheduler/daemon/VRNTerminationManager.h"

#include "common/VRNLog.h"

#include <cstdlib>

namespace {
// The daemon's own defaults domain, the one synchronised on the way out.
constexpr const char* kDaemonDefaultsDomain = "com.vornhal.keelbrook.scheduler";
} // namespace

VRNTerminationManager& VRNTerminationManager::sharedManager() {
    static VRNTerminationManager* const shared = new VRNTerminationManager(
        VRNEnvironment::shared(),
        std::make_shared<prefs::Domain>(kDaemonDefaultsDomain, prefs::Scope::System),
        [](int status) { std::exit(status); });
    return *shared;
}

VRNTerminationManager::VRNTerminationManager(const VRNEnvironment& environment,
                                             std::shared_ptr<prefs::Domain> defaults, Exit exit)
    : _defaults(std::move(defaults)), _exit(std::move(exit)) {
    // The timer starts disarmed: the initial hold is in force.
    _exitTimer =
        std::make_unique<dispatch::TimerSource>(environment.logicQueue, [this] { terminate(); });
}

void VRNTerminationManager::disableTerminationWithReason(const std::string& reason) {
    _internalLock.sync([&] {
        ++_counter;
        VRNLog(VRNLogLevelDebug, "[%lu] Disable termination: %@.",
               static_cast<unsigned long>(_counter), reason);
        if (_counter == 1) {
            _exitTimer->disarm();
        }
    });
}

void VRNTerminationManager::enableTerminationWithReason(const std::string& reason) {
    _internalLock.sync([&] {
        --_counter;
        VRNLog(VRNLogLevelDebug, "[%lu] Enable termination: %@.",
               static_cast<unsigned long>(_counter), reason);
        if (_counter == 0) {
            _exitTimer->schedule(dispatch::afterNow(kExitDelay), dispatch::Duration::zero(),
                                 kExitLeeway);
        }
    });
}

void VRNTerminationManager::addObserverWithHandler(std::function<void()> handler) {
    auto observer = std::make_shared<VRNTerminationObserver>();
    observer->setBlock(std::move(handler));
    _internalLock.sync([&] { _observers.push_back(std::move(observer)); });
}

std::vector<std::shared_ptr<VRNTerminationObserver>> VRNTerminationManager::observers() {
    return _internalLock.sync([&] { return _observers; });
}

void VRNTerminationManager::terminate() {
    std::vector<std::shared_ptr<VRNTerminationObserver>> observers;
    bool wasTerminating = false;
    _internalLock.sync([&] {
        observers = _observers;
        wasTerminating = _terminating;
        _terminating = true;
    });
    if (wasTerminating) {
        return;
    }
    VRNLog(VRNLogLevelDefault, "Terminating now.");
    for (const auto& observer : observers) {
        if (observer->block()) {
            observer->block()();
        }
    }
    _defaults->synchronize();
    _exit(0);
}

#include "scheduler/activity/VRNActivity.h"

#include "common/VRNEnvironment.h"
#include "common/VRNLog.h"
#include "common/VRNQueue.h"

#include <algorithm>
#include <atomic>
#include <random>

namespace {

plist::Value dateValue(cal::Date date) {
    return plist::Value(plist::Date{date});
}

std::optional<cal::Date> storedDate(VRNActivityManager& store, const char* key,
                                    const std::string& identifier) {
    auto value = store.objectForKey(key, identifier);
    if (!value) {
        return std::nullopt;
    }
    auto date = value->asDate();
    return date ? std::optional<cal::Date>(date->secondsSinceReferenceDate) : std::nullopt;
}

} // namespace

const char* VRNActivityBehaviorName(unsigned behavior) {
    switch (behavior) {
    case VRNActivityBehaviorWhenInactive:
        return "when inactive";
    case VRNActivityBehaviorASAP:
        return "asap";
    default:
        return "none";
    }
}

cal::Date VRNDateNow() {
    return cal::now();
}

VRNActivity::Environment VRNActivity::sharedEnvironment() {
    const VRNEnvironment& process = VRNEnvironment::shared();
    return Environment{&VRNActivityManager::sharedManager(),
                       &VRNSystemEventsManager::sharedManager(),
                       &process.requireMachine().powerAssertions(),
                       process.notifications.get(),
                       [] {
                           static std::mutex mutex;
                           static std::mt19937 generator(std::random_device{}());
                           std::lock_guard lock(mutex);
                           return static_cast<std::uint32_t>(generator());
                       },
                       process.logicQueue};
}

std::shared_ptr<VRNActivity> VRNActivity::initWithIdentifier(std::string identifier) {
    return initWithIdentifier(std::move(identifier), sharedEnvironment());
}

std::shared_ptr<VRNActivity> VRNActivity::initWithIdentifier(std::string identifier,
                                                             Environment environment) {
    return std::shared_ptr<VRNActivity>(new VRNActivity(std::move(identifier), environment));
}

VRNActivity::VRNActivity(std::string identifier, Environment environment)
    : _environment(std::move(environment)),
      _internalQueue(VRNQueueCreate("com.vornhal.activity", _environment.logicQueue)),
      _identifier(std::move(identifier)) {
    _lastRunDate = storedDate(*_environment.store, "LastRun", _identifier);
    _lastTryDate = storedDate(*_environment.store, "LastTry", _identifier);
}

VRNActivity::~VRNActivity() {
    // Handlers hold the activity weakly; what is left registered elsewhere goes now.
    if (_timeZoneObserver) {
        _environment.notifications->removeObserver(*_timeZoneObserver);
    }
    if (_systemEventsObserver) {
        _environment.events->removeObserver(_systemEventsObserver);
    }
    if (_sleepEventObserver) {
        _environment.events->removeObserver(_sleepEventObserver);
    }
    if (_sleepAssertion != 0) {
        _environment.powerAssertions->release(_sleepAssertion);
    }
}

std::shared_ptr<VRNActivityCriteria> VRNActivity::criteria() {
    return _internalLock.sync([&] { return _criteria ? _criteria->copy() : nullptr; });
}

void VRNActivity::setCriteria(const std::shared_ptr<VRNActivityCriteria>& criteria) {
    _internalLock.sync([&] {
        if (!criteria) {
            _criteria = nullptr;
            _unschedule();
            return;
        }
        _criteria = criteria->copy();
        if (_started) {
            _disableNextTarget();
            _disableSuspension();
            _prepareActivity();
        }
    });
}

void VRNActivity::scheduleWithQueue(dispatch::QueuePtr queue, Block block) {
    _internalLock.sync([&] {
        if (_started || !_criteria) {
            return;
        }
        _started = true;
        std::weak_ptr<VRNActivity> weak = weak_from_this();
        _timeZoneObserver = _environment.notifications->addObserver(
            VRNActivityTimeZoneDidChangeNotification, nullptr,
            [weak](const std::string&, const std::any&) {
                if (auto self = weak.lock()) {
                    self->systemTimeZoneDidChange();
                }
            });
        _activityQueue = std::move(queue);
        _activityBlock = std::move(block);
        _prepareActivity();
    });
}

void VRNActivity::unschedule() {
    _internalLock.sync([&] { _unschedule(); });
}

void VRNActivity::addAssertion(const std::string& name) {
    _internalLock.sync([&] {
        if (std::find(_assertions.begin(), _assertions.end(), name) != _assertions.end()) {
            return;
        }
        _assertions.push_back(name);
        VRNLog(VRNLogLevelDebug, "[%@] Added assertion: %@.", _identifier, name);
    });
}

void VRNActivity::removeAssertion(const std::string& name) {
    _internalLock.sync([&] {
        auto it = std::find(_assertions.begin(), _assertions.end(), name);
        if (it == _assertions.end()) {
            return;
        }
        _assertions.erase(it);
        VRNLog(VRNLogLevelDebug, "[%@] Removed assertion: %@.", _identifier, name);
        if (_assertions.empty()) {
            _evaluate();
        }
    });
}

bool VRNActivity::shouldDefer() {
    return _internalLock.sync([&] { return _deferReasonsWithPartialResult(true) != 0; });
}

void VRNActivity::setDate(cal::Date date, unsigned long result) {
    _internalLock.sync([&] {
        if (result == VRNActivityResultFinished) {
            _lastRunDate = date;
            _environment.store->setObject(dateValue(date), "LastRun", _identifier);
        } else if (result == VRNActivityResultFailed) {
            _lastTryDate = date;
            _environment.store->setObject(dateValue(date), "LastTry", _identifier);
        }
    });
}

void VRNActivity::setSubmittedDate(cal::Date date) {
    _internalLock.sync(
        [&] { _environment.store->setObject(dateValue(date), "Submitted", _identifier); });
}

plist::Dictionary VRNActivity::information() {
    return _internalLock.sync([&] {
        plist::Dictionary info;
        if (_lastRunDate) {
            info.emplace("LastRun", dateValue(*_lastRunDate));
        }
        if (_lastTryDate) {
            info.emplace("LastTry", dateValue(*_lastTryDate));
        }
        if (_running) {
            info.emplace("Running", plist::Value(true));
        } else if (_wakeDate && *_wakeDate - VRNDateNow() >= 0) {
            info.emplace("NextRun", dateValue(*_wakeDate));
        } else if (unsigned reasons = _deferReasonsWithPartialResult(false)) {
            info.emplace("DeferReason", plist::Value(_descriptionForDeferReasons(reasons)));
        }
        return info;
    });
}

void VRNActivity::systemTimeZoneDidChange() {
    _internalLock.sync([&] {
        VRNLog(VRNLogLevelInfo, "[%@] System time zone did change.", _identifier);
        if (_started) {
            _disableSuspension();
            _disableNextTarget();
            _prepareSuspension();
            _prepareNextTarget();
        }
    });
}

void VRNActivity::_prepareActivity() {
    unsigned events = VRNSystemEventSystemLoad | VRNSystemEventThermalLevel |
                      VRNSystemEventPowerSource | VRNSystemEventPowerState;
    if (!_criteria->dateComponents()) {
        events |= VRNSystemEventUserActivity;
    }
    if (_criteria->dontRunWithSleepPreventers()) {
        events |= VRNSystemEventAssertions;
    }
    if (_criteria->dontRunWhenNotNetworkWired()) {
        events |= VRNSystemEventNetworkType;
    }
    std::weak_ptr<VRNActivity> weak = weak_from_this();
    auto systemEventsObserver =
        _environment.events->addObserverForEventSet(events, nullptr, [weak](unsigned changed) {
            if (auto self = weak.lock()) {
                self->_internalLock.sync([&] { self->_handleSystemEventsChangeForSet(changed); });
            }
        });
    auto sleepEventObserver = _environment.events->addObserverForSleepEventWithQueue(
        nullptr, [weak](std::optional<cal::Date>& wakeDate, std::optional<std::string>& reason) {
            if (auto self = weak.lock()) {
                self->_internalLock.sync(
                    [&] { self->_handleSleepEventWithWakeDate(wakeDate, reason); });
            }
        });
    if (_systemEventsObserver) {
        _environment.events->removeObserver(_systemEventsObserver);
    }
    if (_sleepEventObserver) {
        _environment.events->removeObserver(_sleepEventObserver);
    }
    _systemEventsObserver = std::move(systemEventsObserver);
    _sleepEventObserver = std::move(sleepEventObserver);
    _prepareSuspension();
    _prepareNextTarget();
}

void VRNActivity::_setBehavior(unsigned behavior) {
    VRNLog(VRNLogLevelInfo, "[%@] Behavior: %@.", _identifier, VRNActivityBehaviorName(behavior));
    _behavior = behavior;
    _evaluate();
}

void VRNActivity::_evaluate() {
    if (!_evaluateTimer) {
        _evaluateTimer = timerWithInterval(5, 1, false, [this] { _evaluateDelayed(); });
    } else {
        _evaluateTimer->schedule(dispatch::afterNow(std::chrono::seconds(5)),
                                 dispatch::Duration::zero(), std::chrono::seconds(1));
    }
}

void VRNActivity::_evaluateDelayed() {
    if (!_running && _behavior != VRNActivityBehaviorNone) {
        if (unsigned reasons = _deferReasonsWithPartialResult(true)) {
            VRNLog(VRNLogLevelInfo, "[%@] Deferred: %@.", _identifier,
                   _descriptionForDeferReasons(reasons));
        } else {
            _endTimer = nullptr;
            _runActivityAndPrepareNextTarget();
        }
    }
    _updateIdleAssertion();
}

void VRNActivity::_runActivityAndPrepareNextTarget() {
    if (_running) {
        VRNLog(VRNLogLevelError, "[%@] Can't run activity: already running.", _identifier);
        return;
    }
    VRNLog(VRNLogLevelInfo, "[%@] Will run activity now.", _identifier);
    std::string error;
    std::uint32_t idle = _environment.powerAssertions->create(machine::kPreventUserIdleSystemSleep,
                                                              _identifier, "", &error);
    std::uint32_t background =
        _environment.powerAssertions->create(machine::kBackgroundTask, _identifier, "", &error);
    _running = true;
    _updateIdleAssertion();
    std::weak_ptr<VRNActivity> weak = weak_from_this();
    auto completed = std::make_shared<std::atomic<bool>>(false);
    _runActivityWithCompletionHandler([weak, idle, background, completed](unsigned long result) {
        // The work must complete once; a second call would record a second result.
        if (completed->exchange(true)) {
            return;
        }
        if (auto self = weak.lock()) {
            self->_internalLock.sync([&] { self->_completeRun(result, idle, background); });
        }
    });
}

void VRNActivity::_runActivityWithCompletionHandler(CompletionHandler completionHandler) {
    std::weak_ptr<VRNActivity> weak = weak_from_this();
    dispatch::QueuePtr queue = _activityQueue ? _activityQueue : _internalQueue;
    queue->async([weak, block = _activityBlock, completionHandler] {
        auto self = weak.lock();
        if (!self || !block || self->shouldDefer()) {
            if (self) {
                VRNLog(VRNLogLevelInfo, "[%@] Activity deferred before starting.",
                       self->_identifier);
            }
            completionHandler(VRNActivityResultDeferred);
            return;
        }
        block(completionHandler);
    });
}

void VRNActivity::_completeRun(unsigned long result, std::uint32_t idleAssertion,
                               std::uint32_t backgroundAssertion) {
    _handleActivityResult(result);
    _wakeDate.reset();
    _running = false;
    _setBehavior(VRNActivityBehaviorNone);
    _prepareNextTarget();
    for (std::uint32_t id : {idleAssertion, backgroundAssertion}) {
        if (id != 0) {
            _environment.powerAssertions->release(id);
        }
    }
}

void VRNActivity::_handleActivityResult(unsigned long result) {
    switch (result) {
    case VRNActivityResultFinished:
        _randomValue = -1.0;
        _lastRunDate = VRNDateNow();
        if (_environment.events->powerState() == VRNPowerStateDarkWake) {
            _lastRunInDark = true;
        }
        _environment.store->setObject(dateValue(*_lastRunDate), "LastRun", _identifier);
        VRNLog(VRNLogLevelInfo, "[%@] Activity finished.", _identifier);
        break;
    case VRNActivityResultFailed:
        _lastTryDate = VRNDateNow();
        _environment.store->setObject(dateValue(*_lastTryDate), "LastTry", _identifier);
        VRNLog(VRNLogLevelInfo, "[%@] Activity failed.", _identifier);
        break;
    case VRNActivityResultDeferred:
        _lastDeferDate = VRNDateNow();
        VRNLog(VRNLogLevelInfo, "[%@] Activity deferred.", _identifier);
        break;
    default:
        break;
    }
}

void VRNActivity::_suspend() {
    if (!_suspended) {
        VRNLog(VRNLogLevelInfo, "[%@] Suspend activity.", _identifier);
        _suspended = true;
    }
}

void VRNActivity::_resume() {
    if (_suspended) {
        VRNLog(VRNLogLevelInfo, "[%@] Resume activity.", _identifier);
        _suspended = false;
        _evaluate();
    }
}

void VRNActivity::_disableSuspension() {
    VRNLog(VRNLogLevelDebug, "[%@] Disable suspension.", _identifier);
    _suspendFromTimer = nullptr;
    _suspendToTimer = nullptr;
    _suspendFromDate.reset();
    _suspendToDate.reset();
    _suspended = false;
}

void VRNActivity::_disableNextTarget() {
    VRNLog(VRNLogLevelDebug, "[%@] Disable next target.", _identifier);
    _startTimer = nullptr;
    _endTimer = nullptr;
    if (_behavior != VRNActivityBehaviorNone) {
        _setBehavior(VRNActivityBehaviorNone);
    }
    _wakeDate.reset();
}

void VRNActivity::_unschedule() {
    if (!_started) {
        return;
    }
    _started = false;
    _activityQueue = nullptr;
    _activityBlock = nullptr;
    _disableNextTarget();
    _disableSuspension();
    if (_timeZoneObserver) {
        _environment.notifications->removeObserver(*_timeZoneObserver);
        _timeZoneObserver.reset();
    }
    if (_systemEventsObserver) {
        _environment.events->removeObserver(_systemEventsObserver);
        _systemEventsObserver = nullptr;
    }
    if (_sleepEventObserver) {
        _environment.events->removeObserver(_sleepEventObserver);
        _sleepEventObserver = nullptr;
    }
}

VRNActivity::Timer VRNActivity::timerWithInterval(double seconds, double leeway, bool oneShot,
                                                  Action action) {
    auto delay =
        std::chrono::duration_cast<dispatch::Duration>(std::chrono::duration<double>(seconds));
    return _timer(dispatch::afterNow(delay), leeway, oneShot, std::move(action));
}

VRNActivity::Timer VRNActivity::timerWithInterval(double seconds, double leeway, Action action) {
    return timerWithInterval(seconds, leeway, true, std::move(action));
}

VRNActivity::Timer VRNActivity::timerWithFireDate(cal::Date date, double leeway, Action action) {
    // A wall-clock deadline, so that the timer also fires correctly after sleep.
    auto at = std::chrono::duration_cast<dispatch::Duration>(
        std::chrono::duration<double>(cal::unixTimeFromDate(date)));
    return _timer(dispatch::Deadline::wall(at), leeway, true, std::move(action));
}

VRNActivity::Timer VRNActivity::_timer(dispatch::Deadline deadline, double leeway, bool oneShot,
                                       Action action) {
    std::weak_ptr<VRNActivity> weak = weak_from_this();
    auto timerRef = std::make_shared<std::weak_ptr<dispatch::TimerSource>>();
    auto timer = std::make_shared<dispatch::TimerSource>(
        _internalQueue, [weak, timerRef, oneShot, action = std::move(action)] {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            self->_internalLock.sync([&] {
                auto source = timerRef->lock();
                if (!source || source->isCancelled()) {
                    return;
                }
                action();
                if (oneShot) {
                    source->cancel();
                }
            });
        });
    *timerRef = timer;
    auto leewayDuration =
        std::chrono::duration_cast<dispatch::Duration>(std::chrono::duration<double>(leeway));
    timer->schedule(deadline, dispatch::Duration::zero(), leewayDuration);
    return timer;
}

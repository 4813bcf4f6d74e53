#include "scheduler/daemon/KBEHelperBackupManager.h"

#include "common/VRNLog.h"
#include "common/VRNQueue.h"
#include "common/VRNSpawn.h"
#include "platform/paths/Paths.h"

#include <optional>

namespace {

// Keys of the engine's preferences.
constexpr const char* kAutoBackupKey = "AutoBackup";
constexpr const char* kMobileBackupsKey = "MobileBackups";
constexpr const char* kRequiresACPowerKey = "RequiresACPower";
constexpr const char* kLastDestinationIDKey = "LastDestinationID";
constexpr const char* kDestinationsKey = "Destinations";
constexpr const char* kDestinationIDKey = "DestinationID";
constexpr const char* kResultKey = "RESULT";

// Keys of the daemon's defaults.
constexpr const char* kDryRunKey = "DryRun";
constexpr const char* kLastBackupDateKey = "LastBackupDate";
constexpr const char* kLastTryDateKey = "LastTryDate";
constexpr const char* kInvalidationDateKey = "InvalidationDate";
constexpr const char* kTargetDateKey = "TargetDate";

prefs::Domain timeMachineDomain(const VRNEnvironment& environment) {
    return prefs::Domain(KBEHelperBackupManager::kTimeMachineDomain,
                         paths::locate(KBEHelperBackupManager::kTimeMachinePreferences,
                                       environment.installationRoot));
}

// A missing key, or one that is not a boolean, reads as false.
bool boolValue(prefs::Domain& domain, const char* key) {
    const auto value = domain.value(key);
    return value && value->asBoolean().value_or(false);
}

void runToEnd(const std::string& tool, const char* verb) {
    const char* argv[] = {tool.c_str(), verb, nullptr};
    spawn_tool(argv, nullptr);
}

} // namespace

void KBEHelperBackupManager::disableSystemScheduler(const VRNEnvironment& environment) {
    prefs::Domain timeMachine = timeMachineDomain(environment);
    const std::string tool = paths::locate(kTool, environment.installationRoot);
    if (boolValue(timeMachine, kAutoBackupKey)) {
        VRNLog(VRNLogLevelInfo, "Disabling system scheduler now.");
        runToEnd(tool, "disable");
    }
    if (boolValue(timeMachine, kMobileBackupsKey)) {
        VRNLog(VRNLogLevelInfo, "Disabling local backups now.");
        runToEnd(tool, "disablelocal");
    }
}

std::shared_ptr<KBEHelperBackupManager> KBEHelperBackupManager::initWithDelegate(
    const std::shared_ptr<KBEHelperBackupManagerDelegate>& delegate, Collaborators collaborators) {
    return std::shared_ptr<KBEHelperBackupManager>(
        new KBEHelperBackupManager(delegate, std::move(collaborators)));
}

KBEHelperBackupManager::KBEHelperBackupManager(
    const std::shared_ptr<KBEHelperBackupManagerDelegate>& delegate, Collaborators collaborators)
    : _internalQueue(VRNQueueCreate(kQueueLabel, collaborators.environment.logicQueue)),
      _delegate(delegate),
      _backupActivity(VRNActivity::initWithIdentifier(kBackupIdentifier, collaborators.activities)),
      _snapshotsActivity(
          VRNActivity::initWithIdentifier(kSnapshotsIdentifier, collaborators.activities)),
      _environment(std::move(collaborators.environment)), _termination(collaborators.termination),
      _activities(std::move(collaborators.activities)),
      _defaults(std::move(collaborators.defaults)), _poster(collaborators.poster),
      _timeMachine(timeMachineDomain(_environment)) {
    _migrateDefaults();
}

KBEHelperBackupManager::~KBEHelperBackupManager() {
    _backupActivity->unschedule();
    _snapshotsActivity->unschedule();
}

// The older release kept the backup's dates in the defaults; they move to the activity's
// state once.
void KBEHelperBackupManager::_migrateDefaults() {
    for (const auto& [key, result] : {std::pair{kLastBackupDateKey, VRNActivityResultFinished},
                                      std::pair{kLastTryDateKey, VRNActivityResultFailed}}) {
        if (auto value = _defaults->value(key)) {
            if (auto date = value->asDate()) {
                _backupActivity->setDate(date->secondsSinceReferenceDate, result);
            }
            _defaults->removeValue(key);
        }
    }
    if (auto value = _defaults->value(kInvalidationDateKey)) {
        if (value->asDate()) {
            _activities.store->setObject(*value, "Submitted", kBackupIdentifier);
        }
        _defaults->removeValue(kInvalidationDateKey);
    }
    _defaults->removeValue(kTargetDateKey);
}

std::shared_ptr<VRNActivityCriteria> KBEHelperBackupManager::criteria() {
    return _backupActivity->criteria();
}

void KBEHelperBackupManager::setCriteria(const std::shared_ptr<VRNActivityCriteria>& criteria) {
    _backupActivity->setCriteria(criteria);
    _allowBattery = criteria && criteria->allowBattery();
}

std::shared_ptr<VRNActivityCriteria> KBEHelperBackupManager::snapshotsCriteria() {
    return _snapshotsActivity->criteria();
}

void KBEHelperBackupManager::setSnapshotsCriteria(
    const std::shared_ptr<VRNActivityCriteria>& criteria) {
    _snapshotsActivity->setCriteria(criteria);
}

void KBEHelperBackupManager::start() {
    if (_started) {
        return;
    }
    _started = true;
    _termination.disableTerminationWithReason("backups scheduled");
    std::weak_ptr<KBEHelperBackupManager> weak = weak_from_this();
    _backupActivity->scheduleWithQueue(_internalQueue, [weak](CompletionHandler completion) {
        if (auto self = weak.lock()) {
            self->performBackupWithRecentWakeThrottle(true, std::move(completion));
        }
    });
    VRNLog(VRNLogLevelDebug, "Backups started.");
}

void KBEHelperBackupManager::stop() {
    if (!_started) {
        return;
    }
    _started = false;
    _backupActivity->unschedule();
    _termination.enableTerminationWithReason("backups unscheduled");
    VRNLog(VRNLogLevelDebug, "Backups stopped.");
}

void KBEHelperBackupManager::startSnapshots() {
    if (!_environment.versions->runningAtLeast(VRNSystemVersion10_13) || _localStarted) {
        return;
    }
    _localStarted = true;
    _termination.disableTerminationWithReason("snapshots scheduled");
    std::weak_ptr<KBEHelperBackupManager> weak = weak_from_this();
    _snapshotsActivity->scheduleWithQueue(_internalQueue, [weak](CompletionHandler completion) {
        if (auto self = weak.lock()) {
            self->performSnapshotWithCompletionHandler(std::move(completion));
        }
    });
    VRNLog(VRNLogLevelDebug, "Snapshots started.");
}

void KBEHelperBackupManager::stopSnapshots() {
    if (!_localStarted) {
        return;
    }
    _localStarted = false;
    _snapshotsActivity->unschedule();
    _termination.enableTerminationWithReason("snapshots unscheduled");
    VRNLog(VRNLogLevelDebug, "Snapshots stopped.");
}

bool KBEHelperBackupManager::kickstart() {
    if (_running) {
        return false;
    }
    // The scheduled backup must not start beside this one.
    _backupActivity->addAssertion(kKickstartAssertion);
    std::weak_ptr<KBEHelperBackupManager> weak = weak_from_this();
    performBackupWithRecentWakeThrottle(false, [weak](unsigned long) {
        if (auto self = weak.lock()) {
            self->_backupActivity->removeAssertion(kKickstartAssertion);
        }
    });
    return true;
}

void KBEHelperBackupManager::addAssertion(const std::string& name) {
    _backupActivity->addAssertion(name);
    _snapshotsActivity->addAssertion(name);
}

void KBEHelperBackupManager::removeAssertion(const std::string& name) {
    _backupActivity->removeAssertion(name);
    _snapshotsActivity->removeAssertion(name);
}

void KBEHelperBackupManager::setSubmittedDate(cal::Date date) {
    _backupActivity->setSubmittedDate(date);
}

plist::Dictionary KBEHelperBackupManager::backupsInformation() {
    return _backupActivity->information();
}

plist::Dictionary KBEHelperBackupManager::snapshotsInformation() {
    return _snapshotsActivity->information();
}

void KBEHelperBackupManager::performBackupWithRecentWakeThrottle(
    bool throttle, CompletionHandler completionHandler) {
    _termination.disableTerminationWithReason("backup started");
    _running = true;
    std::weak_ptr<KBEHelperBackupManager> weak = weak_from_this();
    _performBackupWithRecentWakeThrottle(
        throttle, [weak, completionHandler = std::move(completionHandler)](unsigned long result) {
            completionHandler(result);
            if (auto self = weak.lock()) {
                self->_running = false;
                self->_termination.enableTerminationWithReason("backup finished");
            }
        });
}

void KBEHelperBackupManager::_performBackupWithRecentWakeThrottle(
    bool throttle, CompletionHandler completionHandler) {
    if (throttle && _activities.events->recentWake()) {
        VRNLog(VRNLogLevelDebug, "Delaying backup for 10 seconds due to recent wake.");
        _after(kRecentWakeDelay, [completionHandler](KBEHelperBackupManager& self) {
            self._prepareAndPerformBackup(completionHandler);
        });
        return;
    }
    _prepareAndPerformBackup(std::move(completionHandler));
}

void KBEHelperBackupManager::_prepareAndPerformBackup(CompletionHandler completionHandler) {
    if (auto refusal = _refusalOfDelegate()) {
        VRNLog(VRNLogLevelDefault, "Backup delayed. %@", *refusal);
        completionHandler(VRNActivityResultDeferred);
        return;
    }
    std::weak_ptr<KBEHelperBackupManager> weak = weak_from_this();
    __performBackupWithCompletionHandler([weak, completionHandler](bool succeeded) {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        const bool failed = self->didBackupFail();
        self->_postSnapshotNotification();
        if (succeeded && !failed) {
            VRNLog(VRNLogLevelDefault, "Backup finished.");
            completionHandler(VRNActivityResultFinished);
        } else {
            VRNLog(VRNLogLevelError, "Backup failed.");
            completionHandler(VRNActivityResultFailed);
        }
        if (auto delegate = self->_delegate.lock()) {
            delegate->unprepareForBackup();
        }
    });
}

void KBEHelperBackupManager::__performBackupWithCompletionHandler(
    std::function<void(bool succeeded)> completion) {
    if (_dryRun()) {
        if (_inDarkWake()) {
            VRNLog(VRNLogLevelDefault, "Starting dry backup now (dark wake). 60 seconds\u2026");
        } else {
            VRNLog(VRNLogLevelDefault, "Starting dry backup now. 60 seconds\u2026");
        }
        _after(kDryBackupDuration, [completion](KBEHelperBackupManager&) { completion(true); });
        return;
    }
    disableSystemScheduler(_environment);
    if (_allowBattery) {
        // The engine skips a backup on battery unless told it may run there.
        const auto requiresACPower = _timeMachine.value(kRequiresACPowerKey);
        if (!requiresACPower || requiresACPower->asBoolean() == true) {
            _timeMachine.setValue(kRequiresACPowerKey, false);
            _timeMachine.synchronize();
        }
    }
    if (_inDarkWake()) {
        VRNLog(VRNLogLevelDefault, "Starting backup now (dark wake).");
    } else {
        VRNLog(VRNLogLevelDefault, "Starting backup now.");
    }
    const std::string tool = _tool();
    // With --block the tool returns once the backup has ended.
    const char* argv[] = {tool.c_str(), "startbackup", "--auto", "--rotation", "--block", nullptr};
    spawn_tool_async(argv, _internalQueue,
                     [completion](std::optional<VRNError> error) { completion(!error); });
}

void KBEHelperBackupManager::performSnapshotWithCompletionHandler(
    CompletionHandler completionHandler) {
    if (_running) {
        // The backup makes a snapshot itself.
        completionHandler(VRNActivityResultFinished);
        return;
    }
    _termination.disableTerminationWithReason("snapshot started");
    // No scheduled backup starts during the snapshot.
    _backupActivity->addAssertion(kSnapshotAssertion);
    std::weak_ptr<KBEHelperBackupManager> weak = weak_from_this();
    _performSnapshotWithCompletionHandler(
        [weak, completionHandler = std::move(completionHandler)](unsigned long result) {
            completionHandler(result);
            if (auto self = weak.lock()) {
                self->_backupActivity->removeAssertion(kSnapshotAssertion);
                self->_termination.enableTerminationWithReason("snapshot finished");
            }
        });
}

void KBEHelperBackupManager::_performSnapshotWithCompletionHandler(
    CompletionHandler completionHandler) {
    if (auto refusal = _refusalOfDelegate()) {
        VRNLog(VRNLogLevelDefault, "Snapshot delayed. %@", *refusal);
        completionHandler(VRNActivityResultDeferred);
        return;
    }
    // After the snapshot proper, whatever its outcome.
    auto finished = [completionHandler](KBEHelperBackupManager& self) {
        self._postSnapshotNotification();
        completionHandler(VRNActivityResultFinished);
        if (auto delegate = self._delegate.lock()) {
            delegate->unprepareForBackup();
        }
    };
    if (_dryRun()) {
        if (_inDarkWake()) {
            VRNLog(VRNLogLevelDefault, "Starting dry run snapshot now (dark wake).");
        } else {
            VRNLog(VRNLogLevelDefault, "Starting dry run snapshot now.");
        }
        _after(kDrySnapshotDuration, finished);
        return;
    }
    VRNLog(VRNLogLevelDefault, "Creating snapshot now.");
    const std::string tool = _tool();
    const char* argv[] = {tool.c_str(), "snapshot", nullptr};
    std::weak_ptr<KBEHelperBackupManager> weak = weak_from_this();
    // A folder the engine cannot snapshot makes the tool fail; that is not an error here.
    spawn_tool_async(argv, _internalQueue, [weak, finished](std::optional<VRNError>) {
        if (auto self = weak.lock()) {
            VRNLog(VRNLogLevelDefault, "Snapshot created.");
            finished(*self);
        }
    });
}

bool KBEHelperBackupManager::didBackupFail() {
    const auto last = _timeMachine.value(kLastDestinationIDKey);
    if (!last) {
        return false;
    }
    const auto destinations = _timeMachine.value(kDestinationsKey);
    const plist::Array* entries = destinations ? destinations->asArray() : nullptr;
    if (entries == nullptr) {
        return false;
    }
    for (const plist::Value& entry : *entries) {
        const plist::Dictionary* destination = entry.asDictionary();
        if (destination == nullptr) {
            continue;
        }
        const auto id = destination->find(kDestinationIDKey);
        if (id == destination->end() || id->second != *last) {
            continue;
        }
        const auto result = destination->find(kResultKey);
        return result != destination->end() && result->second.asInteger().value_or(0) != 0;
    }
    return false;
}

void KBEHelperBackupManager::_postSnapshotNotification() {
    if (auto failure = _poster.post(kSnapshotNotification)) {
        VRNLog(VRNLogLevelError, "Failed to post %@. %@", std::string(kSnapshotNotification),
               *failure);
    }
}

std::optional<std::string> KBEHelperBackupManager::_refusalOfDelegate() {
    auto delegate = _delegate.lock();
    if (!delegate) {
        // Only while the daemon winds down: no run starts without the main controller.
        return std::string("The main controller is gone.");
    }
    std::optional<VRNError> error;
    if (delegate->prepareForBackupWithError(&error)) {
        return std::nullopt;
    }
    return error ? VRNError::localizedDescriptionForError(*error) : std::string();
}

bool KBEHelperBackupManager::_dryRun() {
    return boolValue(*_defaults, kDryRunKey);
}

bool KBEHelperBackupManager::_inDarkWake() {
    return _activities.events->powerState() == VRNPowerStateDarkWake;
}

std::string KBEHelperBackupManager::_tool() const {
    return paths::locate(kTool, _environment.installationRoot);
}

void KBEHelperBackupManager::_after(dispatch::Duration delay,
                                    std::function<void(KBEHelperBackupManager&)> work) {
    std::weak_ptr<KBEHelperBackupManager> weak = weak_from_this();
    dispatch::after(delay, _internalQueue, [weak, work = std::move(work)] {
        if (auto self = weak.lock()) {
            work(*self);
        }
    });
}

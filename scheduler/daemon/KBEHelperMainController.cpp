#include "scheduler/daemon/KBEHelperMainController.h"

#include "common/KBEErrors.h"
#include "common/KBEHelperMessages.h"
#include "common/VRNAuthorizationManager.h"
#include "common/VRNLog.h"
#include "common/VRNQueue.h"
#include "common/VRNSpawn.h"
#include "common/VRNUpdaterErrors.h"
#include "platform/notice/Notice.h"
#include "platform/paths/Paths.h"
#include "scheduler/daemon/KBEHelperRights.h"
#include "scheduler/daemon/KBEHelperSchedule.h"

namespace {

constexpr const char* kDaemonDefaultsDomain = "com.vornhal.keelbrook.scheduler";
constexpr const char* kAutoUpdatesKey = "UAutoUpdates";
constexpr const char* kModeKey = "UMode";
constexpr const char* kFeedKey = "UFeed";

// Updater codes that ask the user to update by hand: the package could not be moved,
// validated or installed.
bool needsManualUpdate(const VRNError& error) {
    return error.domain() == VRNUpdaterErrorDomain &&
           (error.code() == 5 || error.code() == 6 || error.code() == 7);
}

// The notice in every active graphical session, off the controller's queue (each one waits
// for a child process); logged when there is no session to show it in.
void showNoticeInSessions(const std::string& header, const std::string& message) {
    dispatch::globalQueue()->async([header, message] {
        bus::Connection system(bus::systemBus());
        std::string error;
        const auto sessions = notice::activeGraphicalSessions(system, &error);
        if (sessions.empty()) {
            VRNLog(VRNLogLevelDefault, "%@: %@", header, message);
            return;
        }
        for (const auto& session : sessions) {
            if (!notice::show(session, header, message, &error)) {
                VRNLog(VRNLogLevelError, "Failed to show notice. %@", error);
            }
        }
    });
}

} // namespace

KBEHelperMainController::Collaborators KBEHelperMainController::Collaborators::system() {
    const VRNEnvironment& environment = VRNEnvironment::shared();
    VRNTerminationManager& termination = VRNTerminationManager::sharedManager();
    auto defaults = std::make_shared<prefs::Domain>(kDaemonDefaultsDomain, prefs::Scope::System);
    static notify::Poster poster;
    VRNAuthorityOptions authority =
        VRNAuthorityOptions::forInstallation(environment.installationRoot);
    authority.holds = {
        [&termination](const std::string& reason) {
            termination.disableTerminationWithReason(reason);
        },
        [&termination](const std::string& reason) {
            termination.enableTerminationWithReason(reason);
        },
    };
    return Collaborators{
        environment,
        termination,
        defaults,
        VRNActivity::sharedEnvironment(),
        poster,
        VRNUpdaterEnvironment::system(
            defaults,
            [&termination](const std::string& reason) {
                termination.disableTerminationWithReason(reason);
            },
            [&termination](const std::string& reason) {
                termination.enableTerminationWithReason(reason);
            }),
        VRNXPCServerOptions::forService(kServiceName, environment.installationRoot),
        std::move(authority),
        VRNAuthorizationDatabase::inInstallation(environment.installationRoot),
        0,
        showNoticeInSessions,
        {},
    };
}

KBEHelperMainController& KBEHelperMainController::sharedController() {
    // Never freed: the process ends through the termination manager.
    static const std::shared_ptr<KBEHelperMainController>* const shared =
        new std::shared_ptr<KBEHelperMainController>(create(Collaborators::system()));
    return **shared;
}

std::shared_ptr<KBEHelperMainController>
KBEHelperMainController::create(Collaborators collaborators) {
    auto controller = std::make_shared<KBEHelperMainController>(std::move(collaborators));
    controller->_init();
    return controller;
}

KBEHelperMainController::KBEHelperMainController(Collaborators collaborators)
    : _collaborators(std::move(collaborators)) {}

void KBEHelperMainController::_init() {
    const VRNEnvironment& environment = _collaborators.environment;
    _queue = VRNQueueCreate(kQueueLabel, environment.logicQueue);
    _authority = VRNAuthority::create(environment, _collaborators.authority);
    _server = VRNMessagerServer::create(kServiceName, _queue, weak_from_this(), *_authority,
                                        _collaborators.server);
    _updater = VRNUpdater::initWithQueue(_queue, weak_from_this(), _collaborators.updater);
    _backupManager = KBEHelperBackupManager::initWithDelegate(
        shared_from_this(), {environment, _collaborators.termination, _collaborators.activities,
                             _collaborators.defaults, _collaborators.poster});
    _settings = std::make_unique<KBEHelperSettings>(environment, _collaborators.defaults, *this,
                                                    _collaborators.settingsOwner);
    _autoUpdates = _defaultsFlag(kAutoUpdatesKey);
}

void KBEHelperMainController::start() {
    _collaborators.termination.enableTerminationWithReason("start");
    std::optional<VRNError> ignored;
    _registerAuthorizationRightsWithError(&ignored);
    _authority->start();
    _startServer();
    _startBackupManager();
    _startUpdater();
}

bool KBEHelperMainController::_registerAuthorizationRightsWithError(
    std::optional<VRNError>* error) {
    // Only the missing rights are written: a definition changed since (message 6) stays.
    plist::Dictionary missing;
    for (auto& [name, definition] : KBEHelperRightDefinitions()) {
        if (!_collaborators.rights.right(name)) {
            missing.emplace(name, definition);
        }
    }
    return missing.empty() ||
           VRNAuthorizationManager::setAuthorizationRights(_collaborators.rights, missing, error);
}

bool KBEHelperMainController::_setAllowsAdminChanges(bool allow, std::optional<VRNError>* error) {
    return VRNAuthorizationManager::setAuthorizationRights(
        _collaborators.rights,
        {{KBEHelperRightModify1, plist::Value(KBEHelperModify1Definition(allow))}}, error);
}

void KBEHelperMainController::_startServer() {
    _server->start();
}

void KBEHelperMainController::_startBackupManager() {
    _settings->start();
    applySettings();
}

void KBEHelperMainController::_startUpdater() {
    _updater->setMode(VRNUpdater::updaterModeFromString(_defaultsString(kModeKey)));
    _updater->setFeedURL(updaterFeedURLFromString(_defaultsString(kFeedKey)));
    _updater->setDownloadURL(paths::path(kDownloadPath));
    _updater->setSupportURL(paths::path(kSupportPath));
    _updater->setTeamID(kTeamIdentifier);
    _updater->setDownloadHost(VRNUpdaterServerHost(*_collaborators.defaults));
    if (_autoUpdates) {
        _updater->start();
    }
}

std::string KBEHelperMainController::updaterFeedURLFromString(const std::string& feed) const {
    const char* path = feed == "beta"   ? "/keelbrook/updates_beta.plist"
                       : feed == "test" ? "/keelbrook/updates_test.plist"
                                        : "/keelbrook/updates2.plist";
    return "https://" + VRNUpdaterServerHost(*_collaborators.defaults) + path;
}

void KBEHelperMainController::applySettings() {
    const auto schedule =
        KBEHelperSchedule::forSettings(settings(), *_collaborators.environment.versions);
    if (schedule.disabled) {
        _backupManager->stop();
        _backupManager->stopSnapshots();
        return;
    }
    if (schedule.backups) {
        _backupManager->setCriteria(schedule.backups);
        _backupManager->start();
    } else {
        _backupManager->stop();
    }
    if (schedule.snapshots) {
        _backupManager->setSnapshotsCriteria(schedule.snapshots);
        _backupManager->startSnapshots();
    } else {
        _backupManager->stopSnapshots();
    }
}

// Single settings.

namespace {

const plist::Value* settingOf(const plist::Dictionary& settings, std::string_view key) {
    const auto found = settings.find(key);
    return found == settings.end() ? nullptr : &found->second;
}

bool settingIsTrue(const plist::Dictionary& settings, std::string_view key) {
    const plist::Value* value = settingOf(settings, key);
    return value && value->asBoolean().value_or(false);
}

} // namespace

bool KBEHelperMainController::backupsEnabled() const {
    return settingIsTrue(settings(), "Backups");
}

bool KBEHelperMainController::snapshotsEnabled() const {
    return settingIsTrue(settings(), "Snapshots");
}

std::optional<std::string> KBEHelperMainController::backupsMode() const {
    const plist::Value* mode = settingOf(settings(), "BackupsMode");
    return mode && mode->asString() ? std::optional<std::string>(*mode->asString()) : std::nullopt;
}

plist::Dictionary KBEHelperMainController::backupsInterval() const {
    const plist::Value* interval = settingOf(settings(), "Interval");
    return interval && interval->asDictionary() ? *interval->asDictionary() : plist::Dictionary{};
}

bool KBEHelperMainController::backupsWhenInactive() const {
    return backupsMode() == "WhenInactive";
}

bool KBEHelperMainController::_installChanged(const std::function<void(plist::Dictionary&)>& change,
                                              bool resetSubmittedDate, VRNError* error) {
    plist::Dictionary changed = settings();
    change(changed);
    return _settings->installSettings(changed, resetSubmittedDate, error);
}

bool KBEHelperMainController::setBackupsEnabled(bool enabled, VRNError* error) {
    return _installChanged(
        [&](plist::Dictionary& s) { s.insert_or_assign("Backups", plist::Value(enabled)); }, false,
        error);
}

bool KBEHelperMainController::setSnapshotsEnabled(bool enabled, VRNError* error) {
    return _installChanged(
        [&](plist::Dictionary& s) { s.insert_or_assign("Snapshots", plist::Value(enabled)); },
        false, error);
}

bool KBEHelperMainController::setBackupsMode(const std::optional<std::string>& mode,
                                             VRNError* error) {
    return _installChanged(
        [&](plist::Dictionary& s) {
            if (mode) {
                s.insert_or_assign("BackupsMode", plist::Value(*mode));
            } else {
                s.erase("BackupsMode");
            }
        },
        true, error);
}

bool KBEHelperMainController::setBackupsInterval(const plist::Dictionary& interval,
                                                 VRNError* error) {
    return _installChanged(
        [&](plist::Dictionary& s) {
            s.insert_or_assign("BackupsMode", plist::Value("Interval"));
            s.insert_or_assign("Interval", plist::Value(interval));
        },
        true, error);
}

bool KBEHelperMainController::setBackupsWhenInactiveWithError(VRNError* error) {
    return _installChanged(
        [](plist::Dictionary& s) {
            s.insert_or_assign("BackupsMode", plist::Value("WhenInactive"));
        },
        true, error);
}

bool KBEHelperMainController::enableSchedulerWithError(VRNError* error) {
    if (!settingIsTrue(settings(), "Disabled")) {
        return true;
    }
    VRNLog(VRNLogLevelDefault, "Enable scheduler.");
    return _installChanged([](plist::Dictionary& s) { s.erase("Disabled"); }, false, error);
}

bool KBEHelperMainController::disableSchedulerWithError(VRNError* error) {
    if (settingIsTrue(settings(), "Disabled")) {
        return true;
    }
    VRNLog(VRNLogLevelDefault, "Disabled scheduler.");
    return _installChanged(
        [](plist::Dictionary& s) { s.insert_or_assign("Disabled", plist::Value(true)); }, false,
        error);
}

bool KBEHelperMainController::_defaultsFlag(const char* key) const {
    const auto value = _collaborators.defaults->value(key);
    return value && value->asBoolean().value_or(false);
}

std::string KBEHelperMainController::_defaultsString(const char* key) const {
    const auto value = _collaborators.defaults->value(key);
    return value && value->asString() ? *value->asString() : std::string();
}

void KBEHelperMainController::setUpdatesEnabled(bool enabled) {
    _autoUpdates = enabled;
    _collaborators.defaults->setValue(kAutoUpdatesKey, plist::Value(enabled));
    if (enabled) {
        _updater->start();
        VRNLog(VRNLogLevelInfo, "Updates enabled.");
    } else {
        _updater->stop();
        VRNLog(VRNLogLevelInfo, "Updates disabled.");
    }
}

std::string KBEHelperMainController::updatesMode() const {
    const auto value = _collaborators.defaults->value(kModeKey);
    return value && value->asString() ? *value->asString() : "std";
}

void KBEHelperMainController::setUpdatesMode(const std::string& mode) {
    _updater->setMode(VRNUpdater::updaterModeFromString(mode));
    _collaborators.defaults->setValue(kModeKey, plist::Value(mode));
}

std::string KBEHelperMainController::updatesFeed() const {
    const auto value = _collaborators.defaults->value(kFeedKey);
    return value && value->asString() ? *value->asString() : "std";
}

void KBEHelperMainController::setUpdatesFeed(const std::string& feed) {
    _updater->setFeedURL(updaterFeedURLFromString(feed));
    _collaborators.defaults->setValue(kFeedKey, plist::Value(feed));
}

// Connections.

bool KBEHelperMainController::messagerShouldAcceptConnection(
    VRNMessagerServer&, const std::shared_ptr<VRNXPCPeerConnection>& peer) {
    VRNLog(VRNLogLevelDebug, "Received connection from pid %d.",
           static_cast<int>(peer->processIdentifier()));
    if (++_peers == 1) {
        _collaborators.termination.disableTerminationWithReason("connection");
        _updater->addAssertion("connection");
    }
    _peersDidChange();
    return true;
}

void KBEHelperMainController::messagerPeerDidDisconnect(
    VRNMessagerServer&, const std::shared_ptr<VRNXPCPeerConnection>&) {
    if (--_peers == 0) {
        _updater->removeAssertion("connection");
        _collaborators.termination.enableTerminationWithReason("connection");
    }
    _peersDidChange();
}

void KBEHelperMainController::_peersDidChange() {
    if (_collaborators.peersChanged) {
        _collaborators.peersChanged(_peers);
    }
}

std::vector<std::string>
KBEHelperMainController::messagerAuthorizationRightsForMessage(VRNMessagerServer&, long message) {
    return KBEHelperAuthorizationRightsForMessage(message);
}

bool KBEHelperMainController::messagerKnowsMessage(VRNMessagerServer&, long message) {
    return message >= 0 && message < KBEHelperMessageCount;
}

void KBEHelperMainController::messagerHandleMessage(VRNMessagerServer&, long message,
                                                    const plist::Value& payload,
                                                    const std::shared_ptr<VRNXPCPeerConnection>&,
                                                    VRNMessagerServerReplyHandler replyHandler) {
    handleMessage(message, payload, std::move(replyHandler));
}

// Backup and update never at once.

bool KBEHelperMainController::prepareForBackupWithError(std::optional<VRNError>* error) {
    if (_updating) {
        *error = VRNError::errorWithDomain(KBEErrorDomain, KBEErrorUpdateRunning);
        return false;
    }
    _backingUp = true;
    _updater->addAssertion("backup");
    return true;
}

void KBEHelperMainController::unprepareForBackup() {
    _backingUp = false;
    _updater->removeAssertion("backup");
}

bool KBEHelperMainController::prepareForUpdateInBackground(bool background, VRNError* error) {
    if (_backingUp) {
        *error = VRNError::errorWithDomain(KBEErrorDomain, KBEErrorBackupRunning);
        return false;
    }
    if (background && _peers != 0) {
        *error = VRNError::errorWithDomain(KBEErrorDomain, KBEErrorPeersConnected);
        return false;
    }
    _updating = true;
    _backupManager->addAssertion("update");
    return true;
}

void KBEHelperMainController::unprepareForUpdate() {
    _updating = false;
    _backupManager->removeAssertion("update");
}

void KBEHelperMainController::_runTool(const char* argument, const std::optional<std::string>& path,
                                       dispatch::QueuePtr queue,
                                       VRNUpdateManagerDelegate::Handler handler) {
    const std::string tool = paths::path(kTool);
    std::vector<const char*> argv{tool.c_str(), argument};
    if (path) {
        argv.push_back(path->c_str());
    }
    argv.push_back(nullptr);
    spawn_tool_async(argv.data(), std::move(queue), std::move(handler));
}

void KBEHelperMainController::updateWithPackageAtURL(const std::string& path,
                                                     dispatch::QueuePtr queue, Handler handler) {
    _runTool("_update", path, std::move(queue), std::move(handler));
}

void KBEHelperMainController::uninstallWithQueue(dispatch::QueuePtr queue,
                                                 VRNUpdateManagerDelegate::Handler completion) {
    _runTool("_uninstall", std::nullopt, std::move(queue), std::move(completion));
}

void KBEHelperMainController::updateFailedWithError(const VRNError& error) {
    if (!needsManualUpdate(error)) {
        return;
    }
    const std::string message =
        "Keelbrook failed to auto-update, please update manually instead.\n\n" +
        VRNError::localizedDescriptionForError(error);
    if (_collaborators.showNotice) {
        _collaborators.showNotice("Keelbrook", message);
    }
}

void KBEHelperMainController::setSubmittedDate(cal::Date date) {
    _backupManager->setSubmittedDate(date);
}

void KBEHelperMainController::disableSystemScheduler() {
    KBEHelperBackupManager::disableSystemScheduler(_collaborators.environment);
}

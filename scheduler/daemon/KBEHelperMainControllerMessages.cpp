// The daemon's answers to the numbered messages.

#include "common/KBEErrors.h"
#include "common/KBEHelperMessages.h"
#include "common/VRNProductVersion.h"
#include "scheduler/daemon/KBEHelperMainController.h"

namespace {

using Reply = VRNMessagerServerReplyHandler;

// A payload's value by key: a missing boolean reads false, a missing string as absent.
bool booleanIn(const plist::Value& payload, const char* key) {
    const plist::Value* value = payload.find(key);
    return value && value->asBoolean().value_or(false);
}

std::optional<std::string> stringIn(const plist::Value& payload, const char* key) {
    const plist::Value* value = payload.find(key);
    return value && value->asString() ? std::optional<std::string>(*value->asString())
                                      : std::nullopt;
}

plist::Value enabledReply(bool enabled) {
    return plist::Value(plist::Dictionary{{"Enabled", plist::Value(enabled)}});
}

// An empty reply on success, the error otherwise.
void replyOutcome(const Reply& reply, bool succeeded, const VRNError& error) {
    if (succeeded) {
        reply(std::nullopt, std::nullopt);
    } else {
        reply(std::nullopt, error);
    }
}

void replyEmpty(const Reply& reply) {
    reply(std::nullopt, std::nullopt);
}

} // namespace

void KBEHelperMainController::handleMessage(long message, const plist::Value& payload,
                                            Reply reply) {
    VRNError error("", 0);
    switch (message) {
    case KBEHelperMessageGetVersion:
        reply(plist::Value(plist::Dictionary{{"version", plist::Value(VRNProductBuildNumber())}}),
              std::nullopt);
        return;
    case KBEHelperMessageGetSettings:
        reply(plist::Value(settings()), std::nullopt);
        return;
    case KBEHelperMessageInstallSettings: {
        const plist::Dictionary* submitted = payload.asDictionary();
        const bool installed =
            submitted
                ? _settings->installSettings(_settings->upgradedSettings(*submitted), true, &error)
                : KBEHelperSettings::validateSettings(nullptr, false, &error);
        replyOutcome(reply, installed && submitted, error);
        return;
    }
    case KBEHelperMessageEnableScheduler:
        replyOutcome(reply, enableSchedulerWithError(&error), error);
        return;
    case KBEHelperMessageDisableScheduler:
        replyOutcome(reply, disableSchedulerWithError(&error), error);
        return;
    case KBEHelperMessageGetActivityInformation:
        reply(plist::Value(plist::Dictionary{
                  {"backups", plist::Value(_backupManager->backupsInformation())},
                  {"snapshots", plist::Value(_backupManager->snapshotsInformation())},
                  {"updates", plist::Value(_updater->activityInformation())},
              }),
              std::nullopt);
        return;
    case KBEHelperMessageAllowAdminChanges: {
        std::optional<VRNError> failure;
        if (_setAllowsAdminChanges(booleanIn(payload, "Allow"), &failure)) {
            replyEmpty(reply);
        } else {
            reply(std::nullopt, failure);
        }
        return;
    }
    case KBEHelperMessageGetBackupsEnabled:
        reply(enabledReply(backupsEnabled()), std::nullopt);
        return;
    case KBEHelperMessageGetBackupsMode: {
        plist::Dictionary answer;
        if (auto mode = backupsMode()) {
            answer.emplace("Mode", plist::Value(*mode));
        }
        reply(plist::Value(std::move(answer)), std::nullopt);
        return;
    }
    case KBEHelperMessageGetBackupsInterval:
        reply(plist::Value(backupsInterval()), std::nullopt);
        return;
    case KBEHelperMessageGetBackupsWhenInactive:
        reply(enabledReply(backupsWhenInactive()), std::nullopt);
        return;
    case KBEHelperMessageSetBackupsEnabled:
        replyOutcome(reply, setBackupsEnabled(booleanIn(payload, "Enabled"), &error), error);
        return;
    case KBEHelperMessageSetBackupsMode:
        replyOutcome(reply, setBackupsMode(stringIn(payload, "Mode"), &error), error);
        return;
    case KBEHelperMessageSetBackupsInterval: {
        const plist::Dictionary* interval = payload.asDictionary();
        replyOutcome(reply, setBackupsInterval(interval ? *interval : plist::Dictionary{}, &error),
                     error);
        return;
    }
    case KBEHelperMessageSetBackupsWhenInactive:
        replyOutcome(reply, setBackupsWhenInactiveWithError(&error), error);
        return;
    case KBEHelperMessageBackUpNow:
        if (_backupManager->kickstart()) {
            replyEmpty(reply);
        } else {
            reply(std::nullopt, VRNError::errorWithDomain(KBEErrorDomain, KBEErrorBackupRunning));
        }
        return;
    case KBEHelperMessageGetSnapshotsEnabled:
        reply(enabledReply(snapshotsEnabled()), std::nullopt);
        return;
    case KBEHelperMessageSetSnapshotsEnabled:
        replyOutcome(reply, setSnapshotsEnabled(booleanIn(payload, "Enabled"), &error), error);
        return;
    case KBEHelperMessageGetUpdatesEnabled:
        reply(enabledReply(updatesEnabled()), std::nullopt);
        return;
    case KBEHelperMessageGetUpdatesMode:
        reply(plist::Value(plist::Dictionary{{"Mode", plist::Value(updatesMode())}}), std::nullopt);
        return;
    case KBEHelperMessageGetUpdatesFeed:
        reply(plist::Value(plist::Dictionary{{"Feed", plist::Value(updatesFeed())}}), std::nullopt);
        return;
    case KBEHelperMessageSetUpdatesEnabled:
        setUpdatesEnabled(booleanIn(payload, "Enabled"));
        replyEmpty(reply);
        return;
    case KBEHelperMessageSetUpdatesMode:
        setUpdatesMode(stringIn(payload, "Mode").value_or(""));
        replyEmpty(reply);
        return;
    case KBEHelperMessageSetUpdatesFeed:
        setUpdatesFeed(stringIn(payload, "Feed").value_or(""));
        replyEmpty(reply);
        return;
    case KBEHelperMessageGetDryRun:
        reply(enabledReply(_defaultsFlag("DryRun")), std::nullopt);
        return;
    case KBEHelperMessageSetDryRun:
        _collaborators.defaults->setValue("DryRun", plist::Value(booleanIn(payload, "Enabled")));
        replyEmpty(reply);
        return;
    case KBEHelperMessageCheckForUpdate:
        _updater->fetchUpdateInformationWithQueue(
            _queue,
            [reply](std::optional<plist::Dictionary> item, std::optional<VRNError> failure) {
                if (item) {
                    reply(plist::Value(std::move(*item)), std::nullopt);
                } else {
                    reply(std::nullopt, std::move(failure));
                }
            });
        return;
    case KBEHelperMessageInstallUpdate:
        _updater->performUpdateWithQueue(_queue, [reply](std::optional<VRNError> failure) {
            reply(std::nullopt, std::move(failure));
        });
        return;
    case KBEHelperMessageUninstall:
        uninstallWithQueue(_queue, [reply](std::optional<VRNError> failure) {
            reply(std::nullopt, std::move(failure));
        });
        return;
    default:
        // Numbers outside the catalogue are answered by the message server.
        return;
    }
}

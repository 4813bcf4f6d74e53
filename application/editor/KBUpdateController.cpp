#include "application/editor/KBUpdateController.h"

#include "common/KBEHelperMessages.h"
#include "common/VRNLog.h"
#include "common/VRNMessagerErrors.h"
#include "common/VRNUpdaterErrors.h"

namespace {

constexpr std::size_t kUpdateButton = 0;
constexpr std::size_t kDownloadButton = 1;

std::string stringValue(const plist::Value& info, std::string_view key) {
    const plist::Value* value = info.find(key);
    return value && value->asString() ? *value->asString() : std::string();
}

// The installation replaces and restarts the daemon while the request is outstanding, so the
// service going away or not being there yet means the request went through.
bool installWentThrough(const VRNError& error) {
    return error.domain() == VRNMessagerErrorDomain &&
           (error.code() == VRNMessagerErrorServiceUnavailable ||
            error.code() == VRNMessagerErrorServiceDisappeared);
}

} // namespace

KBUpdateController::KBUpdateController(Collaborators collaborators)
    : _c(std::move(collaborators)) {}

void KBUpdateController::checkUpdatesWithCompletionHandler(CompletionHandler completionHandler) {
    _c.messager.sendMessage(KBEHelperMessageCheckForUpdate, std::nullopt, _c.mainQueue,
                            [this, completionHandler](std::optional<plist::Value> reply,
                                                      std::optional<VRNError> error) {
                                if (!error) {
                                    displayUpdateAlertWithInfo(
                                        reply.value_or(plist::Value(plist::Dictionary{})),
                                        completionHandler);
                                    return;
                                }
                                if (error->domain() == VRNUpdaterErrorDomain &&
                                    error->code() == VRNUpdaterErrorAlreadyLatest) {
                                    displayUpToDateAlert();
                                } else {
                                    displayFetchInfoAlertWithError(*error);
                                }
                                completionHandler();
                            });
}

void KBUpdateController::displayUpdateAlertWithInfo(const plist::Value& info,
                                                    CompletionHandler completionHandler) {
    KBEAlert alert;
    alert.title = "New version available.";
    alert.text = "Keelbrook " + stringValue(info, "HumanVersion") +
                 " is available. Would you like to update now?";
    alert.buttons = {"Update", "Download", "Later"};
    const std::size_t answer = _c.alerts.runAlert(alert, nullptr).button;
    if (answer == kUpdateButton) {
        updateWithCompletionHandler(std::move(completionHandler));
        return;
    }
    if (answer == kDownloadButton) {
        std::string url = stringValue(info, "URL");
        if (url.empty()) {
            url = std::string(kbesite::kHost) + kbesite::kPackagePath;
        }
        _c.desktop.openURL(url);
    }
    completionHandler();
}

void KBUpdateController::updateWithCompletionHandler(CompletionHandler completionHandler) {
    VRNError launchError("", 0);
    const std::optional<pid_t> agent = _c.agent.launch(&launchError);
    if (!agent) {
        VRNLog(VRNLogLevelError, "Failed to launch post-update tool. %@",
               launchError.description());
    }
    _c.messager.sendMessage(KBEHelperMessageInstallUpdate, std::nullopt, _c.mainQueue,
                            [this, agent, completionHandler](std::optional<plist::Value>,
                                                             std::optional<VRNError> error) {
                                // On success the installation replaces this program and the agent
                                // opens the new one; nothing more happens here.
                                if (!error || installWentThrough(*error)) {
                                    return;
                                }
                                if (agent) {
                                    _c.agent.terminate(*agent);
                                }
                                if (!error->userCanceledAuthentication()) {
                                    displayUpdateAlertWithError(*error);
                                }
                                completionHandler();
                            });
}

bool KBUpdateController::automaticUpdatesEnabled() {
    std::optional<VRNError> error;
    const auto reply =
        _c.messager.sendSynchronousMessage(KBEHelperMessageGetUpdatesEnabled, std::nullopt, &error);
    const plist::Value* enabled = reply ? reply->find("Enabled") : nullptr;
    return enabled && enabled->asBoolean().value_or(false);
}

void KBUpdateController::displayUpToDateAlert() {
    const bool enabled = automaticUpdatesEnabled();
    KBEAlert alert;
    alert.title = "You are up to date.";
    alert.text = "You are currently using the latest version of Keelbrook.";
    if (!enabled) {
        alert.checkbox = "Install updates automatically";
    }
    if (!_c.alerts.runAlert(alert, nullptr).checkboxOn || enabled) {
        return;
    }
    std::optional<VRNError> error;
    const auto reply = _c.messager.sendSynchronousMessage(
        KBEHelperMessageSetUpdatesEnabled, plist::Value(plist::Dictionary{{"Enabled", true}}),
        &error);
    if (reply) {
        _c.notifications.post(kKBEDidEnableAutoUpdatesNotification);
    }
}

void KBUpdateController::displayFetchInfoAlertWithError(const VRNError& error) {
    KBEAlert alert;
    alert.style = KBEAlert::Style::Warning;
    alert.title = "Keelbrook was unable to check for updates.";
    alert.text = VRNError::localizedDescriptionForError(error);
    _c.alerts.runAlert(alert, nullptr);
}

void KBUpdateController::displayUpdateAlertWithError(const VRNError& error) {
    KBEAlert alert;
    alert.style = KBEAlert::Style::Warning;
    alert.title = "Keelbrook was unable to update.";
    alert.text = VRNError::localizedDescriptionForError(error);
    _c.alerts.runAlert(alert, nullptr);
}

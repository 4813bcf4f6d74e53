#pragma once

// What the application's controllers are tested with: the scripted stand-in daemon of
// kbectl's tests behind the real message server on a private socket, alerts answered from
// a script, and the desktop's requests recorded.

#include "application/editor/KBEAlert.h"
#include "application/editor/KBEDesktop.h"
#include "application/editors/KBEScheduleEditor.h"
#include "application/ui/KBEMainThreadQueue.h"
#include "common/KBEHelperMessager.h"
#include "common/VRNAuthorizationErrors.h"
#include "common/VRNMessagerServer.h"
#include "tests/common/MessagerTestSupport.h"
#include "tests/ctl/CtlTestSupport.h"
#include "tests/support/TempFolder.h"

#include <QWidget>
#include <deque>
#include <filesystem>
#include <mutex>
#include <unistd.h>

namespace apptest {

// Hands out a token for every right, or the cancelled outcome when told to.
class ClientAuthorization final : public VRNMessagerClientAuthorization {
public:
    std::optional<plist::Data>
    authorizationExternalDataWithRights(const std::vector<std::string>&,
                                        std::optional<VRNError>* error) override {
        if (beforeAnswer) {
            beforeAnswer();
        }
        if (cancel) {
            *error = VRNError(VRNAuthorizationErrorDomain, VRNAuthorizationErrorCanceled);
            return std::nullopt;
        }
        return plist::Data{'o', 'k'};
    }
    bool cancel = false;
    std::function<void()> beforeAnswer;
};

class AcceptAll final : public VRNMessagerServerAuthorization {
public:
    bool validateAuthorizationExternalData(const plist::Data&, const std::vector<std::string>&,
                                           uid_t, std::optional<VRNError>*) override {
        return true;
    }
};

// The message server's owner: answers from ctltest::StandInDaemon's script, unless the
// test took the message over with `intercept` (which then owns the reply handler).
class StandInService final : public messagertest::StandInOwner {
public:
    StandInService()
        : StandInOwner(KBEHelperMessageCount, KBEHelperAuthorizationRightsForMessage) {}

    void messagerHandleMessage(VRNMessagerServer&, long message, const plist::Value& payload,
                               const std::shared_ptr<VRNXPCPeerConnection>&,
                               VRNMessagerServerReplyHandler reply) override {
        std::lock_guard guard(mutex);
        if (intercept && intercept(message, reply)) {
            daemon.sent.push_back({message, payload});
            return;
        }
        std::optional<VRNError> error;
        auto answer = daemon.sendSynchronousMessage(message, payload, &error);
        reply(answer ? std::optional<plist::Value>(plist::Value(*answer)) : std::nullopt, error);
    }
    std::vector<long> numbers() {
        std::lock_guard guard(mutex);
        return daemon.numbers();
    }
    // The payload of the last message `number` sent.
    std::optional<plist::Value> lastPayload(long number) {
        std::lock_guard guard(mutex);
        for (auto it = daemon.sent.rbegin(); it != daemon.sent.rend(); ++it) {
            if (it->number == number) {
                return it->payload;
            }
        }
        return std::nullopt;
    }

    std::mutex mutex;
    ctltest::StandInDaemon daemon;
    std::function<bool(long message, VRNMessagerServerReplyHandler& reply)> intercept;
};

// The daemon's service on a socket of the test's own, with the product's messager on it.
class StandInDaemonServer {
public:
    explicit StandInDaemonServer(const std::filesystem::path& folder)
        : socketPath((folder / "scheduler.socket").string()) {
        server = VRNMessagerServer::create(
            KBEHelperServiceName, VRNQueueMain(), service, serverAuthorization,
            messagertest::privateServerOptions(socketPath, "scheduler"));
        started = server->start();
        messager = KBEHelperMessager::create(clientAuthorization, socketPath);
    }
    ~StandInDaemonServer() {
        messager->cancel();
        server->stop();
    }

    std::string socketPath;
    std::shared_ptr<StandInService> service = std::make_shared<StandInService>();
    AcceptAll serverAuthorization;
    ClientAuthorization clientAuthorization;
    std::shared_ptr<VRNMessagerServer> server;
    std::shared_ptr<KBEHelperMessager> messager;
    bool started = false;
};

// Answers alerts from a script (the default response when it runs out) and records them.
class ScriptedAlerts final : public KBEAlertPresenter {
public:
    KBEAlertResponse runAlert(const KBEAlert& alert, QWidget*) override {
        shown.push_back(alert);
        if (onShow) {
            onShow(alert);
        }
        if (answers.empty()) {
            return {};
        }
        KBEAlertResponse response = answers.front();
        answers.pop_front();
        return response;
    }
    void answer(std::size_t button, bool checkboxOn = false) {
        answers.push_back({button, checkboxOn});
    }

    std::vector<KBEAlert> shown;
    std::deque<KBEAlertResponse> answers;
    std::function<void(const KBEAlert&)> onShow;
};

class RecordingDesktop final : public KBEDesktop {
public:
    void openURL(const std::string& url) override { opened.push_back(url); }
    void copyText(const std::string& text) override { copied.push_back(text); }
    std::vector<std::string> opened;
    std::vector<std::string> copied;
};

// A schedule editor whose controls are one value the test sets.
class ValueEditor final : public KBEScheduleEditor {
public:
    explicit ValueEditor(std::string name) : name_(std::move(name)) {}
    std::string name() const override { return name_; }

    // What the controls show once the view exists.
    plist::Value value{plist::Dictionary{}};

private:
    QWidget* loadView() override { return new QWidget; }
    void updateView() override { value = loadedSettings().value_or(plist::Dictionary{}); }
    plist::Value settingsFromView() const override { return value; }

    std::string name_;
};

} // namespace apptest

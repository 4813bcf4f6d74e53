// The Preferences window and the authentication dialog against a stand-in daemon that
// speaks the real envelope on a private socket, with the real authority checking the
// rights from a rights database of the test's own.

#include "application/preferences/KBEAuthenticationDialog.h"
#include "application/preferences/KBEPreferencesController.h"
#include "common/KBEErrors.h"
#include "common/KBEHelperMessages.h"
#include "common/VRNMessagerServer.h"
#include "common/authority/VRNAuthority.h"
#include "tests/application/Screenshots.h"
#include "tests/common/MessagerTestSupport.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestEnvironment.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <pwd.h>
#include <set>

namespace {

constexpr const char* kModify1 = "com.vornhal.keelbrook.settings.modify-1";
constexpr const char* kModify2 = "com.vornhal.keelbrook.settings.modify-2";

plist::Dictionary userRight() {
    return {{"class", "user"}, {"group", "admin"}, {"timeout", 15}, {"shared", false}};
}

// "modify-1" with `rule`; "modify-2" asking an administrator's password.
plist::Dictionary rightsWithRule(plist::Array rule) {
    return {{kModify1, plist::Dictionary{{"class", "rule"}, {"k-of-n", 1}, {"rule", rule}}},
            {kModify2, userRight()},
            {"never", plist::Dictionary{{"class", "deny"}}}};
}

bool payloadFlag(const plist::Value& payload, const char* key) {
    const auto* dictionary = payload.asDictionary();
    return dictionary && dictionary->count(key) && dictionary->at(key).asBoolean() == true;
}

class Directory final : public VRNAuthorityDirectory {
public:
    std::optional<std::string> userNameForUser(uid_t uid) override {
        const passwd* entry = ::getpwuid(uid);
        return entry ? std::optional<std::string>(entry->pw_name) : std::nullopt;
    }
    bool groupExists(const std::string& group) override { return group == "sudo"; }
    bool isMemberOfGroup(const std::string& user, const std::string& group) override {
        return group == "sudo" && user == "alice";
    }
};

// The daemon's part: the updater's state for 18 and 21 and, for 6, the rights database
// redefined as the daemon does; each message may be told to fail once.
class StandInDaemon final : public messagertest::StandInOwner {
public:
    explicit StandInDaemon(VRNAuthorizationDatabase database)
        : StandInOwner(KBEHelperMessageCount, KBEHelperAuthorizationRightsForMessage),
          database_(std::move(database)) {}

    void messagerHandleMessage(VRNMessagerServer&, long message, const plist::Value& payload,
                               const std::shared_ptr<VRNXPCPeerConnection>&,
                               VRNMessagerServerReplyHandler reply) override {
        std::lock_guard guard(mutex_);
        handled_.emplace_back(message, payload);
        if (failing_.erase(message) != 0) {
            reply(std::nullopt, VRNError(KBEErrorDomain, 0, {}));
            return;
        }
        if (message == 18) {
            reply(plist::Value(plist::Dictionary{{"Enabled", updates_}}), std::nullopt);
        } else if (message == 21) {
            updates_ = payloadFlag(payload, "Enabled");
            reply(std::nullopt, std::nullopt);
        } else if (message == 6) {
            plist::Array rule{plist::Value("is-root")};
            if (payloadFlag(payload, "Allow")) {
                rule.emplace_back("is-admin");
            }
            VRNAuthorizationDatabase::Failures failures;
            std::optional<int> status;
            database_.setRights(rightsWithRule(rule), &failures, &status);
            reply(std::nullopt, std::nullopt);
        } else {
            reply(std::nullopt, std::nullopt);
        }
    }

    void setUpdates(bool enabled) {
        std::lock_guard guard(mutex_);
        updates_ = enabled;
    }
    void failOnce(long message) {
        std::lock_guard guard(mutex_);
        failing_.insert(message);
    }
    std::vector<std::pair<long, plist::Value>> handled() {
        std::lock_guard guard(mutex_);
        return handled_;
    }
    std::vector<long> numbers() {
        std::vector<long> result;
        for (const auto& [number, payload] : handled()) {
            result.push_back(number);
        }
        return result;
    }

private:
    const VRNAuthorizationDatabase database_;
    std::mutex mutex_;
    bool updates_ = false;
    std::set<long> failing_;
    std::vector<std::pair<long, plist::Value>> handled_;
};

// Answers the next authentication dialog once it is shown: cancels it, or fills in `user`
// and `password` and accepts it. Records what the dialog offered.
struct DialogAnswer {
    std::optional<std::pair<QString, QString>> credentials;
    QString offeredUser;
    QString prompt;
    int shown = 0;

    void arm() {
        QTimer::singleShot(20, [this] { answer(); });
    }
    void answer() {
        auto* dialog = qobject_cast<KBEAuthenticationDialog*>(QApplication::activeModalWidget());
        if (!dialog) {
            arm();
            return;
        }
        ++shown;
        offeredUser = dialog->userField()->text();
        prompt = dialog->promptLabel()->text();
        apptest::saveScreenshot(*dialog, "authentication-dialog");
        if (!credentials) {
            dialog->reject();
            return;
        }
        dialog->userField()->setText(credentials->first);
        dialog->passwordField()->setText(credentials->second);
        dialog->accept();
    }
};

} // namespace

class PreferencesTest : public QObject {
    Q_OBJECT

private:
    VRNAuthorizationDatabase database() const {
        return VRNAuthorizationDatabase((root_->path() / "authorization.plist").string());
    }
    void setRule(plist::Array rule) {
        std::optional<VRNError> error;
        QVERIFY(VRNAuthorizationManager::setAuthorizationRights(database(), rightsWithRule(rule),
                                                                &error));
    }
    std::unique_ptr<KBEPreferencesController> makeWindow() {
        return std::make_unique<KBEPreferencesController>(
            KBEPreferencesServices{*messager_, *manager_, database(), *environment_.notifications});
    }

    VRNEnvironment environment_ = testsupport::environment();
    std::unique_ptr<testsupport::TempFolder> root_;
    std::shared_ptr<StandInDaemon> daemon_;
    std::shared_ptr<VRNAuthority> authority_;
    std::shared_ptr<VRNMessagerServer> server_;
    std::unique_ptr<VRNAuthorizationManager> manager_;
    std::shared_ptr<KBEHelperMessager> messager_;

private slots:
    void init() {
        root_ = std::make_unique<testsupport::TempFolder>();
        std::filesystem::permissions(root_->path(), std::filesystem::perms(0755));
        const auto pam = root_->path() / "pam";
        std::filesystem::create_directory(pam);
        const auto script = pam / "check";
        std::ofstream(script) << "#!/bin/sh\n"
                                 "pw=$(tr -d '\\000')\n"
                                 "[ \"$PAM_USER:$pw\" = alice:alice-secret ]\n";
        std::filesystem::permissions(script, std::filesystem::perms(0755));
        std::ofstream(pam / "keelbrook")
            << "auth required pam_exec.so quiet expose_authtok " << script.string() << "\n"
            << "account required pam_permit.so\n";
        setRule({plist::Value("is-root"), plist::Value("is-admin")});

        VRNAuthorityOptions options;
        options.server = messagertest::privateServerOptions(
            (root_->path() / "authority.socket").string(), "authority");
        options.databasePath = database().path();
        options.pamConfigurationFolder = pam.string();
        options.directory = std::make_shared<Directory>();
        authority_ = VRNAuthority::create(environment_, options);
        QVERIFY(authority_->start());

        daemon_ = std::make_shared<StandInDaemon>(database());
        const VRNXPCServerOptions service = messagertest::privateServerOptions(
            (root_->path() / "scheduler.socket").string(), "scheduler");
        server_ = VRNMessagerServer::create(KBEHelperServiceName, VRNQueueMain(), daemon_,
                                            *authority_, service);
        QVERIFY(server_->start());

        manager_ = std::make_unique<VRNAuthorizationManager>(options.server.socketPath);
        manager_->setPromptHandler(KBEAuthenticationDialog::promptHandler(nullptr));
        messager_ = KBEHelperMessager::create(*manager_, service.socketPath);
    }

    void cleanup() {
        messager_->cancel();
        manager_->invalidate();
        server_->stop();
        authority_->stop();
        root_.reset();
    }

    // The boxes show the daemon's reply and the right's rule; a change goes out at once;
    // the in-process notification checks the box without asking the daemon again.
    void checkboxesFollowTheDaemonAndTheRightsDatabase() {
        daemon_->setUpdates(true);
        auto window = makeWindow();
        QVERIFY(window->autoUpdatesCheckbox()->isChecked());
        QVERIFY(!window->requirePasswordCheckbox()->isChecked());
        apptest::saveScreenshot(*window, "preferences");

        window->autoUpdatesCheckbox()->click();
        QVERIFY(!window->autoUpdatesCheckbox()->isChecked());
        const auto handled = daemon_->handled();
        QCOMPARE(daemon_->numbers(), std::vector<long>({18, 21}));
        QVERIFY(!payloadFlag(handled.back().second, "Enabled"));

        environment_.notifications->post(
            KBEPreferencesController::kDidEnableAutoUpdatesNotification);
        QTRY_VERIFY(window->autoUpdatesCheckbox()->isChecked());
        QCOMPARE(daemon_->numbers().size(), std::size_t(2));

        // A rule without "is-admin" requires a password; with no definition the box keeps
        // its state.
        setRule({plist::Value("is-root")});
        window->updateRequirePassword();
        QVERIFY(window->requirePasswordCheckbox()->isChecked());
        std::filesystem::remove(database().path());
        window->requirePasswordCheckbox()->setChecked(false);
        window->updateRequirePassword();
        QVERIFY(!window->requirePasswordCheckbox()->isChecked());
    }

    // A change the daemon refuses is undone by reading the state back.
    void failuresAreReadBack() {
        auto window = makeWindow();
        QVERIFY(!window->autoUpdatesCheckbox()->isChecked());
        daemon_->failOnce(21);
        window->autoUpdatesCheckbox()->click();
        QVERIFY(!window->autoUpdatesCheckbox()->isChecked());
        QCOMPARE(daemon_->numbers(), std::vector<long>({18, 21, 18}));

        daemon_->failOnce(6);
        window->requirePasswordCheckbox()->click();
        QVERIFY(!window->requirePasswordCheckbox()->isChecked());
        QCOMPARE(daemon_->numbers().back(), 6L);
        // A refused rule change keeps the authorization that was obtained.
        QCOMPARE(authority_->sessionCount(), std::size_t(1));
    }

    // After the rule changed the cached authorization is dropped, so that the next guarded
    // message is authorized under the new rule.
    void theAuthorizationIsDroppedAfterTheRuleChanged() {
        auto window = makeWindow();
        window->requirePasswordCheckbox()->click();
        QVERIFY(window->requirePasswordCheckbox()->isChecked());
        const auto handled = daemon_->handled();
        QCOMPARE(handled.back().first, 6L);
        QVERIFY(!payloadFlag(handled.back().second, "Allow"));
        QTRY_COMPARE(authority_->sessionCount(), std::size_t(0));
        window->updateRequirePassword();
        QVERIFY(window->requirePasswordCheckbox()->isChecked());

        window->requirePasswordCheckbox()->click();
        QVERIFY(payloadFlag(daemon_->handled().back().second, "Allow"));
        QTRY_COMPARE(authority_->sessionCount(), std::size_t(0));
        window->updateRequirePassword();
        QVERIFY(!window->requirePasswordCheckbox()->isChecked());
    }

    // The test runs as root, whom "is-root" admits at once; a rule naming a denied right
    // stands in for a caller who is not root, so that the password is asked for. Cancelling
    // the dialog is the cancel status: nothing reaches the daemon and the box is read back.
    void cancellingTheDialogLeavesTheRequirementOn() {
        setRule({plist::Value("never")});
        auto window = makeWindow();
        QVERIFY(window->requirePasswordCheckbox()->isChecked());
        DialogAnswer cancel;
        cancel.arm();
        window->requirePasswordCheckbox()->click();
        QCOMPARE(cancel.shown, 1);
        QCOMPARE(cancel.prompt, QString(VRNAuthorizationManager::kPrompt));
        QCOMPARE(cancel.offeredUser, QString(::getpwuid(::getuid())->pw_name));
        QVERIFY(window->requirePasswordCheckbox()->isChecked());
        QCOMPARE(daemon_->numbers(), std::vector<long>({18}));

        // An administrator's name and password go through.
        DialogAnswer accept;
        accept.credentials = {QStringLiteral("alice"), QStringLiteral("alice-secret")};
        accept.arm();
        window->requirePasswordCheckbox()->click();
        QCOMPARE(accept.shown, 1);
        QCOMPARE(daemon_->numbers().back(), 6L);
        QVERIFY(!window->requirePasswordCheckbox()->isChecked());
    }
};

QTEST_MAIN(PreferencesTest)
#include "PreferencesTest.moc"

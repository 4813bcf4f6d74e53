// The main controller's rule that a backup and an update never run at once, and that the
// updater's own attempts wait for the clients to leave: the controller with its real
// updater and backup manager on the virtual clock, clients over its real socket, a scripted
// update server and a stand-in kbectl under the installation root.

#include "common/KBEErrors.h"
#include "common/KBEHelperMessager.h"
#include "common/KBEHelperMessages.h"
#include "platform/paths/Paths.h"
#include "scheduler/daemon/KBEHelperMainController.h"
#include "tests/common/MessagerTestSupport.h"
#include "tests/scheduler/updater/UpdaterTestSupport.h"
#include "tests/support/InstallationRoot.h"
#include "tests/support/Waiter.h"

#include <chrono>
#include <gmock/gmock.h>
#include <sys/stat.h>

namespace {

using namespace updatertest;
using testing::Contains;
using testing::ElementsAre;
using testing::HasSubstr;

using messagertest::NoAuthorization;

class MainControllerTest : public UpdaterTest {
protected:
    void SetUp() override {
        UpdaterTest::SetUp();
        // The controller gives back the start-up hold itself.
        termination = std::make_unique<VRNTerminationManager>(
            environment, defaults, [this](int status) { exits.push_back(status); });
        root = std::getenv("KEELBROOK_ROOT");
        std::filesystem::create_directories(paths::path(KBEHelperMainController::kSupportPath));
        std::filesystem::remove(paths::path(KBEHelperMainController::kDownloadPath));
        // The stand-in kbectl records its arguments, one per line.
        kbectl = paths::path(KBEHelperMainController::kTool);
        std::filesystem::create_directories(std::filesystem::path(kbectl).parent_path());
        std::filesystem::remove(kbectl + ".args");
        std::ofstream(kbectl) << "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > \"$0.args\"\n";
        ::chmod(kbectl.c_str(), 0755);
        defaults->setValue("UAutoUpdates", plist::Value(true));
        defaults->setValue("UServer", plist::Value("updates.test"));
    }

    void TearDown() override {
        for (auto& client : clients) {
            client->cancel();
        }
        if (controller) {
            controller->updater().stop();
            activitytest::clock().drain();
        }
        controller.reset();
        UpdaterTest::TearDown();
    }

    void start() {
        VRNEnvironment own = environment;
        own.installationRoot = root.string();
        auto server = VRNXPCServerOptions::forService(KBEHelperMainController::kServiceName, root);
        // This test program is the one client it trusts.
        const auto self = std::filesystem::canonical("/proc/self/exe");
        struct stat st {};
        ::stat(self.c_str(), &st);
        server.trustedPrograms = {{self.string()}, st.st_uid};
        std::filesystem::create_directories(std::filesystem::path(server.socketPath).parent_path());
        socketPath = server.socketPath;
        auto authority = VRNAuthorityOptions::forInstallation(root);
        controller = KBEHelperMainController::create({
            own,
            *termination,
            defaults,
            VRNActivity::Environment{store.get(), events.get(), &assertions,
                                     environment.notifications.get(), [this] { return randomDraw; },
                                     environment.logicQueue},
            poster,
            updaterEnvironment(),
            server,
            authority,
            VRNAuthorizationDatabase::inInstallation(root),
            ::getuid(),
            [this](const std::string&, const std::string& message) { notices.push_back(message); },
            [changes = peerChanges](std::uint64_t) { changes->notify(); },
        });
        environment.logicQueue->sync([&] { controller->start(); });
        activitytest::clock().drain();
    }

    template <class F>
    void onQueue(F work) {
        environment.logicQueue->sync([&] { work(*controller); });
        activitytest::clock().drain();
    }

    // Waits (real time: the connections are real) for the count to become `count`, one
    // change at a time. The count and the changes seen are read together on the queue,
    // where the changes are told, so no change falls between the two.
    bool peersBecome(std::uint64_t count) {
        for (;;) {
            std::uint64_t now = 0;
            int seen = 0;
            onQueue([&](KBEHelperMainController& c) {
                now = c.peers();
                seen = peerChanges->count();
            });
            if (now == count) {
                return true;
            }
            if (!peerChanges->waitFor(seen + 1)) {
                return false;
            }
        }
    }

    // A client that has connected and been answered once.
    std::shared_ptr<KBEHelperMessager> connect() {
        auto client = KBEHelperMessager::create(clientAuthorization, socketPath);
        std::optional<VRNError> error;
        EXPECT_TRUE(
            client->sendSynchronousMessage(KBEHelperMessageGetVersion, std::nullopt, &error))
            << (error ? VRNError::localizedDescriptionForError(*error) : "");
        clients.push_back(client);
        return client;
    }

    static std::string text(const VRNError& error) {
        return VRNError::localizedDescriptionForError(error);
    }
    std::vector<std::string> kbectlArguments() {
        return logtest::linesOf(logtest::readFile(kbectl + ".args"));
    }
    static bool loggedAnywhere(const std::vector<logtest::SystemLogEntry>& entries,
                               const std::string& part) {
        for (const auto& entry : entries) {
            if (entry.message.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    std::filesystem::path root;
    std::string socketPath;
    std::string kbectl;
    notify::Poster poster{"unix:path=/nonexistent/bus"};
    NoAuthorization clientAuthorization;
    std::vector<std::shared_ptr<KBEHelperMessager>> clients;
    std::vector<std::string> notices;
    // Shared with the controller, whose queue may still tell a change after the test.
    std::shared_ptr<testsupport::Waiter> peerChanges = std::make_shared<testsupport::Waiter>();
    std::shared_ptr<KBEHelperMainController> controller;
};

TEST_F(MainControllerTest, ABackupAndAnUpdateRefuseEachOtherAndBackgroundUpdatesWaitForClients) {
    defaults->setValue("UAutoUpdates", plist::Value(false));
    start();
    onQueue([](KBEHelperMainController& c) {
        std::optional<VRNError> backupRefusal;
        VRNError updateRefusal("", 0);
        ASSERT_TRUE(c.prepareForBackupWithError(&backupRefusal));
        EXPECT_FALSE(c.prepareForUpdateInBackground(false, &updateRefusal));
        EXPECT_EQ(updateRefusal.domain(), KBEErrorDomain);
        EXPECT_EQ(updateRefusal.code(), KBEErrorBackupRunning);
        EXPECT_EQ(text(updateRefusal), "A backup operation is currently running.");
        c.unprepareForBackup();

        ASSERT_TRUE(c.prepareForUpdateInBackground(true, &updateRefusal)) << "nobody connected";
        EXPECT_FALSE(c.prepareForBackupWithError(&backupRefusal));
        ASSERT_TRUE(backupRefusal);
        EXPECT_EQ(backupRefusal->code(), KBEErrorUpdateRunning);
        EXPECT_EQ(text(*backupRefusal), "An update operation is currently running.");
        c.unprepareForUpdate();
        backupRefusal.reset();
        EXPECT_TRUE(c.prepareForBackupWithError(&backupRefusal));
        c.unprepareForBackup();
    });

    auto first = connect();
    auto second = connect();
    ASSERT_TRUE(peersBecome(2));
    const auto refusesInBackground = [&] {
        bool refused = false;
        onQueue([&](KBEHelperMainController& c) {
            VRNError refusal("", 0);
            refused = !c.prepareForUpdateInBackground(true, &refusal);
            if (refused) {
                EXPECT_EQ(refusal.code(), KBEErrorPeersConnected);
                EXPECT_EQ(text(refusal), "Peers are connected.");
            } else {
                c.unprepareForUpdate();
            }
        });
        return refused;
    };
    EXPECT_TRUE(refusesInBackground());
    onQueue([](KBEHelperMainController& c) {
        VRNError refusal("", 0);
        EXPECT_TRUE(c.prepareForUpdateInBackground(false, &refusal)) << "a user's request";
        c.unprepareForUpdate();
    });
    first->cancel();
    ASSERT_TRUE(peersBecome(1));
    EXPECT_TRUE(refusesInBackground()) << "one client is still there";
    second->cancel();
    ASSERT_TRUE(peersBecome(0));
    EXPECT_FALSE(refusesInBackground());
}

TEST_F(MainControllerTest,
       TheUpdatersAttemptWaitsForTheClientTheUsersRequestInstallsAndBackupsWait) {
    const auto package = goodPackage();
    server->answer(kPackageURL, package);
    serveFeed({item(200)});
    start();
    connect();
    ASSERT_TRUE(peersBecome(1));
    logtest::recorder().take();

    advance(1min);
    auto log = logtest::recorder().take();
    EXPECT_TRUE(loggedAnywhere(log, "Checking for updates now.")) << "the updater's own attempt";
    EXPECT_TRUE(loggedAnywhere(log, "Peers are connected."));
    EXPECT_FALSE(std::filesystem::exists(kbectl + ".args")) << "nothing installed";
    EXPECT_TRUE(std::filesystem::exists(paths::path(KBEHelperMainController::kDownloadPath)))
        << "the package waits for the next attempt";
    EXPECT_THAT(notices, testing::IsEmpty()) << "a deferral is no failure to tell anybody of";
    advance(2h);
    EXPECT_FALSE(loggedAnywhere(logtest::recorder().take(), "will install now"))
        << "the connection holds the updater back";

    // The user checks and asks to install (messages 26 and 27, as "kbectl updates check"
    // does) while connected: the installation goes ahead.
    const auto send = [&](long message) {
        testsupport::Waiter answered;
        std::optional<VRNError> failure;
        onQueue([&](KBEHelperMainController& c) {
            c.handleMessage(message, plist::Value(plist::Dictionary{}),
                            [&](std::optional<plist::Value>, std::optional<VRNError> error) {
                                failure = std::move(error);
                                answered.notify();
                            });
        });
        EXPECT_TRUE(answered.waitFor());
        activitytest::clock().drain();
        EXPECT_FALSE(failure) << text(*failure);
    };
    send(KBEHelperMessageCheckForUpdate);
    send(KBEHelperMessageInstallUpdate);
    EXPECT_THAT(kbectlArguments(),
                ElementsAre("_update", paths::path(KBEHelperMainController::kDownloadPath)));

    // The update stays prepared until the installation replaces the daemon: a backup now
    // is deferred.
    std::vector<unsigned long> results;
    onQueue([&](KBEHelperMainController& c) {
        c.backupManager().performBackupWithRecentWakeThrottle(
            false, [&](unsigned long result) { results.push_back(result); });
    });
    EXPECT_THAT(results, ElementsAre(VRNActivityResultDeferred));
    EXPECT_TRUE(loggedAnywhere(logtest::recorder().take(),
                               "Backup delayed. An update operation is currently running."));
}

} // namespace

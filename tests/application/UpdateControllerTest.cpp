#include "application/editor/KBUpdateController.h"
#include "common/VRNUpdaterErrors.h"
#include "tests/application/EditorTestSupport.h"
#include "tests/support/FolderEvents.h"

#include <QApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTest>
#include <QTimer>
#include <csignal>
#include <fstream>
#include <thread>

using namespace apptest;

class UpdateControllerTest : public QObject {
    Q_OBJECT

    std::unique_ptr<testsupport::TempFolder> folder;
    std::unique_ptr<StandInDaemonServer> daemon;
    std::unique_ptr<KBEPostUpdateAgent> agent;
    std::unique_ptr<KBUpdateController> updates;
    VRNNotificationCenter notifications;
    ScriptedAlerts alerts;
    RecordingDesktop desktop;
    int completions = 0;
    int enabledNotifications = 0;

    std::filesystem::path agentPidFile() const { return folder->path() / "agent.pid"; }

    // The agent's process as its pid file tells it, 0 before it has started.
    pid_t startedAgent() const {
        pid_t pid = 0;
        std::ifstream(agentPidFile()) >> pid;
        return pid;
    }

    // The agent's process once it has started; the main thread's events go on meanwhile.
    pid_t agentPid() {
        testsupport::FolderEvents events(folder->path(), IN_MOVED_TO);
        QEventLoop loop;
        QSocketNotifier notifier(events.descriptor(), QSocketNotifier::Read);
        QObject::connect(&notifier, &QSocketNotifier::activated, &loop, [&] {
            events.drain();
            if (startedAgent() > 0) {
                loop.quit();
            }
        });
        QTimer::singleShot(testsupport::kWaitLimit, &loop, &QEventLoop::quit);
        if (startedAgent() == 0) {
            loop.exec();
        }
        return startedAgent();
    }

    static bool running(pid_t pid) { return ::kill(pid, 0) == 0; }

    // Blocks until the agent has started, from any thread.
    void waitForAgentStart() {
        testsupport::FolderEvents(folder->path(), IN_MOVED_TO).waitUntil([this] {
            return startedAgent() > 0;
        });
    }

    void check() {
        updates->checkUpdatesWithCompletionHandler([this] { ++completions; });
    }

    void offerUpdate(plist::Dictionary info) {
        daemon->service->daemon.reply(KBEHelperMessageCheckForUpdate, std::move(info));
    }

private slots:
    void initTestCase() {
        notifications.addObserver(
            kKBEDidEnableAutoUpdatesNotification, nullptr,
            [this](const std::string&, const std::any&) { ++enabledNotifications; });
    }

    void init() {
        folder = std::make_unique<testsupport::TempFolder>();
        daemon = std::make_unique<StandInDaemonServer>(folder->path());
        QVERIFY(daemon->started);
        // A stand-in agent that tells its process and waits to be ended. The pid file is
        // renamed into place, so that it is never seen empty.
        const auto script = folder->path() / "post-update";
        const std::string pidFile = agentPidFile().string();
        std::ofstream(script) << "#!/bin/sh\necho $$ > '" << pidFile << ".new' && mv '" << pidFile
                              << ".new' '" << pidFile << "'\nexec sleep 60\n";
        std::filesystem::permissions(script, std::filesystem::perms::owner_all);
        agent = std::make_unique<KBEPostUpdateAgent>(script.string());
        updates = std::make_unique<KBUpdateController>(
            KBUpdateController::Collaborators{*daemon->messager, alerts, desktop, *agent,
                                              notifications, KBEMainThreadQueue::create(qApp)});
        alerts = {};
        desktop = {};
        completions = 0;
        enabledNotifications = 0;
    }
    void cleanup() {
        if (const pid_t pid = startedAgent(); pid > 0) {
            agent->terminate(pid);
        }
        daemon.reset();
        folder.reset();
    }

    // Already the latest: the checkbox appears only while automatic updates are off (a
    // failed read counts as off), and ticking it switches them on.
    void upToDateOffersAutomaticUpdatesWhenOff() {
        const VRNError latest(VRNUpdaterErrorDomain, VRNUpdaterErrorAlreadyLatest);
        daemon->service->daemon.fail(KBEHelperMessageCheckForUpdate, latest);
        daemon->service->daemon.reply(KBEHelperMessageGetUpdatesEnabled, {{"Enabled", false}});
        alerts.answer(0, true);
        check();
        QTRY_COMPARE(completions, 1);
        QCOMPARE(alerts.shown.size(), std::size_t(1));
        QCOMPARE(alerts.shown[0].title, std::string("You are up to date."));
        QCOMPARE(alerts.shown[0].text,
                 std::string("You are currently using the latest version of Keelbrook."));
        QCOMPARE(alerts.shown[0].checkbox,
                 std::optional<std::string>("Install updates automatically"));
        QCOMPARE(*daemon->service->lastPayload(KBEHelperMessageSetUpdatesEnabled),
                 plist::Value(plist::Dictionary{{"Enabled", true}}));
        QCOMPARE(enabledNotifications, 1);

        daemon->service->daemon.fail(KBEHelperMessageCheckForUpdate, latest);
        daemon->service->daemon.reply(KBEHelperMessageGetUpdatesEnabled, {{"Enabled", true}});
        alerts.answer(0, true);
        check();
        QTRY_COMPARE(completions, 2);
        QVERIFY(!alerts.shown[1].checkbox);
        QCOMPARE(enabledNotifications, 1);

        daemon->service->daemon.fail(KBEHelperMessageCheckForUpdate, latest);
        daemon->service->daemon.fail(KBEHelperMessageGetUpdatesEnabled, VRNError("x", 1));
        check();
        QTRY_COMPARE(completions, 3);
        QVERIFY(alerts.shown[2].checkbox);
        const auto numbers = daemon->service->numbers();
        QCOMPARE(std::count(numbers.begin(), numbers.end(), KBEHelperMessageSetUpdatesEnabled), 1);
    }

    // "Download" opens the reply's address, or the package's place on the maker's site.
    void downloadOpensTheURLOrTheDefaultPackage() {
        offerUpdate({{"HumanVersion", "2.1"}, {"Version", 210}});
        alerts.answer(1);
        check();
        QTRY_COMPARE(completions, 1);
        QCOMPARE(alerts.shown[0].title, std::string("New version available."));
        QCOMPARE(alerts.shown[0].text,
                 std::string("Keelbrook 2.1 is available. Would you like to update now?"));
        QCOMPARE(alerts.shown[0].buttons,
                 (std::vector<std::string>{"Update", "Download", "Later"}));
        QCOMPARE(desktop.opened,
                 std::vector<std::string>{"https://www.keelbrook.example/keelbrook/Keelbrook.pkg"});

        offerUpdate({{"HumanVersion", "2.1"}, {"URL", "https://example.org/k.pkg"}});
        alerts.answer(1);
        check();
        QTRY_COMPARE(completions, 2);
        QCOMPARE(desktop.opened.back(), std::string("https://example.org/k.pkg"));

        offerUpdate({{"HumanVersion", "2.1"}});
        alerts.answer(2);
        check();
        QTRY_COMPARE(completions, 3);
        QCOMPARE(desktop.opened.size(), std::size_t(2));
    }

    // A refused installation ends the agent and explains; a cancelled authentication ends
    // it silently.
    void aFailedInstallationEndsTheAgent() {
        offerUpdate({{"HumanVersion", "2.1"}});
        daemon->service->intercept = [this](long message, VRNMessagerServerReplyHandler& reply) {
            if (message != KBEHelperMessageInstallUpdate) {
                return false;
            }
            std::thread([this, reply] {
                waitForAgentStart();
                reply(std::nullopt, VRNError(VRNUpdaterErrorDomain, VRNUpdaterErrorInstallFailed));
            }).detach();
            return true;
        };
        alerts.answer(0);
        check();
        QTRY_COMPARE(completions, 1);
        const pid_t first = agentPid();
        QVERIFY(first > 0);
        QVERIFY(!running(first));
        QCOMPARE(alerts.shown.back().title, std::string("Keelbrook was unable to update."));
        std::filesystem::remove(agentPidFile());

        offerUpdate({{"HumanVersion", "2.1"}});
        daemon->clientAuthorization.cancel = true;
        daemon->clientAuthorization.beforeAnswer = [this] {
            waitForAgentStart();
        };
        alerts.answer(0);
        check();
        QTRY_COMPARE(completions, 2);
        const pid_t second = agentPid();
        QVERIFY(second > 0);
        QVERIFY(!running(second));
        QCOMPARE(alerts.shown.size(), std::size_t(3)); // nothing after the second offer
        QCOMPARE(alerts.shown.back().title, std::string("New version available."));
    }

    // The installation restarts the daemon under the request: the service going away (8) or
    // not being there (7) means it went through. No alert, the agent waits on.
    void theDaemonGoingAwayDuringTheInstallationIsSuccess() {
        offerUpdate({{"HumanVersion", "2.1"}});
        daemon->service->intercept = [this](long message, VRNMessagerServerReplyHandler&) {
            if (message != KBEHelperMessageInstallUpdate) {
                return false;
            }
            std::thread([server = daemon->server] { server->stop(); }).detach();
            return true;
        };
        alerts.answer(0);
        check();
        QTRY_VERIFY(daemon->service->lastPayload(KBEHelperMessageInstallUpdate).has_value());
        const pid_t agentProcess = agentPid();
        QVERIFY(agentProcess > 0);
        QTest::qWait(300);
        QVERIFY(running(agentProcess));
        QCOMPARE(alerts.shown.size(), std::size_t(1));
        QCOMPARE(completions, 0);
        agent->terminate(agentProcess);
        std::filesystem::remove(agentPidFile());

        // The daemon already gone when the installation is asked for.
        std::filesystem::create_directories(folder->path() / "next");
        auto next = std::make_unique<StandInDaemonServer>(folder->path() / "next");
        QVERIFY(next->started);
        KBUpdateController other({*next->messager, alerts, desktop, *agent, notifications,
                                  KBEMainThreadQueue::create(qApp)});
        next->service->daemon.reply(KBEHelperMessageCheckForUpdate, {{"HumanVersion", "2.1"}});
        alerts.answer(0);
        alerts.onShow = [&next](const KBEAlert&) {
            next->server->stop();
        };
        other.checkUpdatesWithCompletionHandler([this] { ++completions; });
        const pid_t secondAgent = agentPid();
        QVERIFY(secondAgent > 0);
        QTest::qWait(300);
        QVERIFY(running(secondAgent));
        QCOMPARE(alerts.shown.size(), std::size_t(2));
        QCOMPARE(completions, 0);
        alerts.onShow = {};
    }
};

QTEST_MAIN(UpdateControllerTest)
#include "UpdateControllerTest.moc"

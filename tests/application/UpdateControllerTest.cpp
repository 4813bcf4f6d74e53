#include "application/editor/KBUpdateController.h"
#include "common/VRNUpdaterErrors.h"
#include "platform/files/Files.h"
#include "tests/application/EditorTestSupport.h"
#include "tests/support/WaitLimit.h"

#include <QApplication>
#include <QTest>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

using namespace apptest;

namespace {

// The stand-in agents write their process identifiers, a line each, to a FIFO as they
// start; the test waits on it from any thread. The FIFO is held open for reading and
// writing (as Linux allows), so that an agent's write never blocks and its close is never
// read as the end.
class AgentStarts {
public:
    explicit AgentStarts(const std::filesystem::path& path) {
        if (::mkfifo(path.c_str(), 0600) == 0) {
            fifo_ = files::openFile(path, O_RDWR | O_NONBLOCK);
        }
    }
    bool ready() const { return fifo_.valid(); }

    // The process of the `number`th agent (from 1) once it has started; 0 when it does
    // not start within the wait limit.
    pid_t started(std::size_t number) {
        std::lock_guard lock(mutex_);
        while (readAvailable() < number) {
            pollfd readable{fifo_.get(), POLLIN, 0};
            if (::poll(&readable, 1, testsupport::kWaitLimitMilliseconds) != 1) {
                return 0;
            }
        }
        return pids_[number - 1];
    }
    // Every agent that has told its start so far.
    std::vector<pid_t> startedSoFar() {
        std::lock_guard lock(mutex_);
        readAvailable();
        return pids_;
    }

private:
    std::size_t readAvailable() {
        char buffer[256];
        for (ssize_t n; (n = ::read(fifo_.get(), buffer, sizeof buffer)) > 0;) {
            pending_.append(buffer, std::size_t(n));
        }
        for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;
             pending_.erase(0, end + 1)) {
            pids_.push_back(std::stoi(pending_.substr(0, end)));
        }
        return pids_.size();
    }

    files::Descriptor fifo_;
    std::mutex mutex_;
    std::string pending_;
    std::vector<pid_t> pids_;
};

} // namespace

class UpdateControllerTest : public QObject {
    Q_OBJECT

    std::unique_ptr<testsupport::TempFolder> folder;
    std::unique_ptr<StandInDaemonServer> daemon;
    std::unique_ptr<AgentStarts> agents;
    std::unique_ptr<KBEPostUpdateAgent> agent;
    std::unique_ptr<KBUpdateController> updates;
    VRNNotificationCenter notifications;
    ScriptedAlerts alerts;
    RecordingDesktop desktop;
    int completions = 0;
    int enabledNotifications = 0;

    static bool running(pid_t pid) { return ::kill(pid, 0) == 0; }
    // Whether `pid` is a child of this process not yet collected (running or ended).
    static bool uncollected(pid_t pid) {
        siginfo_t info{};
        return ::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
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
        // A stand-in agent that tells its process and waits to be ended.
        const auto starts = folder->path() / "agent-starts";
        agents = std::make_unique<AgentStarts>(starts);
        QVERIFY(agents->ready());
        const auto script = folder->path() / "post-update";
        std::ofstream(script) << "#!/bin/sh\necho $$ > '" << starts.string()
                              << "'\nexec sleep 60\n";
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
        // The agents neither the controller nor the test has ended and collected.
        for (const pid_t pid : agents ? agents->startedSoFar() : std::vector<pid_t>{}) {
            if (uncollected(pid)) {
                agent->terminate(pid);
            }
        }
        agents.reset();
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
                agents->started(1);
                reply(std::nullopt, VRNError(VRNUpdaterErrorDomain, VRNUpdaterErrorInstallFailed));
            }).detach();
            return true;
        };
        alerts.answer(0);
        check();
        QTRY_COMPARE(completions, 1);
        const pid_t first = agents->started(1);
        QVERIFY(first > 0);
        QVERIFY(!running(first));
        QCOMPARE(alerts.shown.back().title, std::string("Keelbrook was unable to update."));

        offerUpdate({{"HumanVersion", "2.1"}});
        daemon->clientAuthorization.cancel = true;
        daemon->clientAuthorization.beforeAnswer = [this] {
            agents->started(2);
        };
        alerts.answer(0);
        check();
        QTRY_COMPARE(completions, 2);
        const pid_t second = agents->started(2);
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
        const pid_t agentProcess = agents->started(1);
        QVERIFY(agentProcess > 0);
        QTest::qWait(300);
        QVERIFY(running(agentProcess));
        QCOMPARE(alerts.shown.size(), std::size_t(1));
        QCOMPARE(completions, 0);
        agent->terminate(agentProcess);

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
        // The agent starts as soon as the offer is answered.
        QTRY_COMPARE(alerts.shown.size(), std::size_t(2));
        const pid_t secondAgent = agents->started(2);
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

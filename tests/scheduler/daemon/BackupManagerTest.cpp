// The backup manager with a fake tmutil under the installation root, its activities on the
// simulated machine and the virtual clock, and its notifications on a private bus.

#include "common/KBEErrors.h"
#include "common/VRNDateComponents.h"
#include "scheduler/daemon/KBEHelperBackupManager.h"
#include "tests/scheduler/activity/ActivityTestSupport.h"
#include "tests/support/NotificationRecorder.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/WaitLimit.h"
#include "tests/support/Waiter.h"

#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <poll.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using namespace activitytest;
using testing::Contains;
using testing::ElementsAre;
using testing::IsEmpty;
using testing::Not;
using Line = std::pair<int, std::string>;

constexpr const char* kMarker = "test.marker";

// The main controller's part: it may refuse a run as an update being installed does, and
// counts what it is asked.
class StandInController final : public KBEHelperBackupManagerDelegate {
public:
    bool prepareForBackupWithError(std::optional<VRNError>* error) override {
        ++prepared;
        if (refuse) {
            *error = VRNError::errorWithDomain(KBEErrorDomain, KBEErrorUpdateRunning);
            return false;
        }
        return true;
    }
    void unprepareForBackup() override {
        ++unprepared;
        ended.notify();
    }

    std::atomic<bool> refuse{false};
    std::atomic<int> prepared{0};
    std::atomic<int> unprepared{0};
    testsupport::Waiter ended;
};

// "/usr/bin/tmutil" for the test: records each call's arguments, exits with the status in
// "status-<verb>" (0 without one) and, while "block-<verb>" exists, tells the test through a
// pipe that it runs and waits until the test releases it.
class FakeTool {
public:
    FakeTool(const std::filesystem::path& tool, std::filesystem::path state)
        : tool_(tool), state_(std::move(state)) {
        std::filesystem::create_directories(state_);
        std::filesystem::create_directories(tool.parent_path());
        ::mkfifo((state_ / "started").c_str(), 0600);
        ::mkfifo((state_ / "release").c_str(), 0600);
        // Both ends stay open: the tool's writes and reads never wait for an opener.
        started_ = ::open((state_ / "started").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        release_ = ::open((state_ / "release").c_str(), O_RDWR | O_CLOEXEC);
        std::ofstream(tool) << "#!/bin/sh\n"
                            << "state='" << state_.string() << "'\n"
                            << "echo \"$*\" >> \"$state/calls\"\n"
                            << "if [ -e \"$state/block-$1\" ]; then\n"
                            << "    echo \"$*\" > \"$state/started\"\n"
                            << "    read line < \"$state/release\"\n"
                            << "fi\n"
                            << "exit \"$(cat \"$state/status-$1\" 2>/dev/null || echo 0)\"\n";
        std::filesystem::permissions(tool, std::filesystem::perms::owner_all);
    }
    ~FakeTool() {
        ::close(started_);
        ::close(release_);
    }

    void exitWith(const std::string& verb, int status) {
        std::ofstream(state_ / ("status-" + verb)) << status << "\n";
    }
    void block(const std::string& verb) { std::ofstream(state_ / ("block-" + verb)); }
    // Waits until a blocked call runs.
    bool waitForStart() {
        pollfd ready{started_, POLLIN, 0};
        const auto limit =
            std::chrono::duration_cast<std::chrono::milliseconds>(testsupport::kWaitLimit);
        if (::poll(&ready, 1, static_cast<int>(limit.count())) != 1) {
            return false;
        }
        char line[256];
        return ::read(started_, line, sizeof line) > 0;
    }
    void release() { EXPECT_EQ(::write(release_, "\n", 1), 1); }
    void remove() { std::filesystem::remove(tool_); }
    std::string path() const { return tool_.string(); }

    // The calls since the last take, one line of arguments each.
    std::vector<std::string> takeCalls() {
        std::vector<std::string> calls;
        std::ifstream in(state_ / "calls");
        for (std::string line; std::getline(in, line);) {
            calls.push_back(line);
        }
        std::filesystem::remove(state_ / "calls");
        return calls;
    }

private:
    std::filesystem::path tool_;
    std::filesystem::path state_;
    int started_ = -1;
    int release_ = -1;
};

class BackupManagerTest : public ActivityTest {
protected:
    void SetUp() override {
        ActivityTest::SetUp();
        ASSERT_TRUE(bus.ready());
        root = std::getenv("KEELBROOK_ROOT");
        std::filesystem::remove(timeMachineFile());
        defaults = std::make_shared<prefs::Domain>(VRNActivityManager::kDomain,
                                                   (folder.path() / "defaults.plist").string());
        timeMachine = std::make_unique<prefs::Domain>(KBEHelperBackupManager::kTimeMachineDomain,
                                                      timeMachineFile().string());
        termination = std::make_unique<VRNTerminationManager>(
            environment, defaults, [this](int status) { exits.push_back(status); });
        tool = std::make_unique<FakeTool>(testsupport::locationIn(root, "/usr/bin/tmutil"),
                                          folder.path() / "tool");
    }

    void TearDown() override {
        activitytest::clock().drain();
        manager.reset();
        ActivityTest::TearDown();
    }

    std::filesystem::path timeMachineFile() const {
        return testsupport::locationIn(root, KBEHelperBackupManager::kTimeMachinePreferences);
    }

    KBEHelperBackupManager& make(std::string_view systemVersion = {}) {
        VRNEnvironment own =
            systemVersion.empty() ? environment : testsupport::environment(systemVersion);
        own.installationRoot = root.string();
        manager = KBEHelperBackupManager::initWithDelegate(
            controller,
            {own, *termination,
             VRNActivity::Environment{store.get(), events.get(), &assertions,
                                      environment.notifications.get(), [] { return 2147483648u; },
                                      environment.logicQueue},
             defaults, poster});
        activitytest::clock().drain();
        return *manager;
    }

    // Runs `work` with the manager on the logic queue, where its callers are.
    void onLogicQueue(const std::function<void(KBEHelperBackupManager&)>& work) {
        environment.logicQueue->sync([&] { work(*manager); });
        activitytest::clock().drain();
    }

    // Starts a backup as the activity would, collecting its result.
    void perform(bool throttle) {
        onLogicQueue([&](KBEHelperBackupManager& m) {
            m.performBackupWithRecentWakeThrottle(throttle, [this](unsigned long result) {
                std::lock_guard guard(resultsLock);
                results.push_back(result);
            });
        });
    }
    void snapshot() {
        onLogicQueue([&](KBEHelperBackupManager& m) {
            m.performSnapshotWithCompletionHandler([this](unsigned long result) {
                std::lock_guard guard(resultsLock);
                results.push_back(result);
            });
        });
    }
    std::vector<unsigned long> takeResults() {
        std::lock_guard guard(resultsLock);
        return std::exchange(results, {});
    }

    // Waits for the run that the controller allowed to end (a real tool ends in real time).
    void waitForRunEnd(int count = 1) {
        ASSERT_TRUE(controller->ended.waitFor(count));
        activitytest::clock().drain();
    }

    // The system log since the last call, with journal priorities.
    static std::vector<Line> lines() {
        std::vector<Line> taken;
        for (auto& entry : logtest::recorder().take()) {
            taken.emplace_back(entry.priority, entry.message);
        }
        return taken;
    }
    // Only the manager's and the termination manager's own lines.
    static std::vector<Line> managerLines() {
        std::vector<Line> taken;
        for (auto& line : lines()) {
            if (line.second.rfind("[com.vornhal", 0) != 0 &&
                line.second.find("Error Domain=") == std::string::npos) {
                taken.push_back(line);
            }
        }
        return taken;
    }

    // The notifications posted since the last call.
    std::vector<std::string> notifications() {
        EXPECT_EQ(poster.post(kMarker), std::nullopt);
        return recorder.takeThrough(kMarker).value_or(std::vector<std::string>{"(no marker)"});
    }

    void setTimeMachine(const std::string& key, plist::Value value) {
        ASSERT_TRUE(timeMachine->setValue(key, std::move(value)));
    }
    void lastDestinationResult(std::int64_t result) {
        setTimeMachine("LastDestinationID", "B");
        setTimeMachine("Destinations",
                       plist::Array{plist::Dictionary{{"DestinationID", "A"}, {"RESULT", 0}},
                                    plist::Dictionary{{"DestinationID", "B"}, {"RESULT", result}}});
    }

    void scheduleHourly() {
        auto criteria = std::make_shared<VRNActivityCriteria>();
        criteria->setInterval(componentsWithHours(1));
        onLogicQueue([&](KBEHelperBackupManager& m) {
            m.setCriteria(criteria);
            m.start();
        });
    }

    std::filesystem::path root;
    testsupport::PrivateBus bus;
    notify::Poster poster{bus.address()};
    testsupport::NotificationRecorder recorder{bus.address()};
    std::shared_ptr<prefs::Domain> defaults;
    std::unique_ptr<prefs::Domain> timeMachine;
    std::vector<int> exits;
    std::unique_ptr<VRNTerminationManager> termination;
    std::unique_ptr<FakeTool> tool;
    std::shared_ptr<StandInController> controller = std::make_shared<StandInController>();
    std::shared_ptr<KBEHelperBackupManager> manager;
    std::mutex resultsLock;
    std::vector<unsigned long> results;
};

TEST_F(BackupManagerTest, DisablingTheSystemSchedulerRunsOnlyWhatIsOn) {
    struct Case {
        std::optional<bool> autoBackup;
        std::optional<bool> mobileBackups;
        std::vector<std::string> calls;
        std::vector<Line> logged;
    };
    const std::vector<Case> cases = {
        {std::nullopt, std::nullopt, {}, {}},
        {false, false, {}, {}},
        {true, std::nullopt, {"disable"}, {{LOG_INFO, "Disabling system scheduler now."}}},
        {false, true, {"disablelocal"}, {{LOG_INFO, "Disabling local backups now."}}},
        {true,
         true,
         {"disable", "disablelocal"},
         {{LOG_INFO, "Disabling system scheduler now."},
          {LOG_INFO, "Disabling local backups now."}}},
    };
    VRNEnvironment own = environment;
    own.installationRoot = root.string();
    tool->exitWith("disable", 1); // ignored
    for (const Case& c : cases) {
        timeMachine->removeValue("AutoBackup");
        timeMachine->removeValue("MobileBackups");
        if (c.autoBackup) {
            setTimeMachine("AutoBackup", *c.autoBackup);
        }
        if (c.mobileBackups) {
            setTimeMachine("MobileBackups", *c.mobileBackups);
        }
        lines();
        KBEHelperBackupManager::disableSystemScheduler(own);
        EXPECT_EQ(tool->takeCalls(), c.calls);
        EXPECT_EQ(managerLines(), c.logged);
    }
}

TEST_F(BackupManagerTest, TheLastBackupFailedOnlyWhenItsDestinationSaysSo) {
    make();
    const auto fail = [&] {
        bool failed = false;
        onLogicQueue([&](KBEHelperBackupManager& m) { failed = m.didBackupFail(); });
        return failed;
    };
    EXPECT_FALSE(fail()) << "no preferences";
    setTimeMachine("Destinations",
                   plist::Array{plist::Dictionary{{"DestinationID", "B"}, {"RESULT", 1}}});
    EXPECT_FALSE(fail()) << "no last destination";
    setTimeMachine("LastDestinationID", "C");
    EXPECT_FALSE(fail()) << "no entry for the last destination";
    lastDestinationResult(0);
    EXPECT_FALSE(fail());
    lastDestinationResult(75);
    EXPECT_TRUE(fail());
    setTimeMachine("Destinations",
                   plist::Array{plist::Dictionary{{"DestinationID", "B"}, {"RESULT", 0}},
                                plist::Dictionary{{"DestinationID", "B"}, {"RESULT", 1}}});
    EXPECT_FALSE(fail()) << "the first matching entry decides";
}

TEST_F(BackupManagerTest, TheOlderReleasesDatesMoveToTheBackupActivityOnce) {
    const cal::Date lastRun = utc(2026, 12, 1, 10);
    const cal::Date lastTry = utc(2026, 12, 2, 11);
    const cal::Date invalidation = utc(2026, 11, 30, 9);
    defaults->setValue("LastBackupDate", plist::Date{lastRun});
    defaults->setValue("LastTryDate", plist::Date{lastTry});
    defaults->setValue("InvalidationDate", plist::Date{invalidation});
    defaults->setValue("TargetDate", plist::Date{lastTry});
    defaults->setValue("DryRun", true);
    make();
    const plist::Dictionary info = manager->backupsInformation();
    EXPECT_EQ(dateOf(info, "LastRun"), lastRun);
    EXPECT_EQ(dateOf(info, "LastTry"), lastTry);
    EXPECT_EQ(store->objectForKey("Submitted", KBEHelperBackupManager::kBackupIdentifier),
              plist::Value(plist::Date{invalidation}));
    for (const char* key : {"LastBackupDate", "LastTryDate", "InvalidationDate", "TargetDate"}) {
        EXPECT_EQ(defaults->value(key), std::nullopt) << key;
    }
    EXPECT_EQ(defaults->value("DryRun"), plist::Value(true)) << "other keys stay";
    EXPECT_EQ(dateOf(manager->snapshotsInformation(), "LastRun"), std::nullopt);
}

TEST_F(BackupManagerTest, StartAndStopAreIdempotentAndHoldTheProcess) {
    make();
    lines();
    onLogicQueue([](KBEHelperBackupManager& m) {
        m.start();
        m.start();
        m.startSnapshots();
        m.startSnapshots();
    });
    EXPECT_THAT(managerLines(),
                ElementsAre(Line{LOG_DEBUG, "[2] Disable termination: backups scheduled."},
                            Line{LOG_DEBUG, "Backups started."},
                            Line{LOG_DEBUG, "[3] Disable termination: snapshots scheduled."},
                            Line{LOG_DEBUG, "Snapshots started."}));
    onLogicQueue([](KBEHelperBackupManager& m) {
        m.stop();
        m.stop();
        m.stopSnapshots();
        m.stopSnapshots();
    });
    EXPECT_THAT(managerLines(),
                ElementsAre(Line{LOG_DEBUG, "[2] Enable termination: backups unscheduled."},
                            Line{LOG_DEBUG, "Backups stopped."},
                            Line{LOG_DEBUG, "[1] Enable termination: snapshots unscheduled."},
                            Line{LOG_DEBUG, "Snapshots stopped."}));
}

TEST_F(BackupManagerTest, BeforeTenThirteenSnapshotsAreNeverScheduled) {
    make("10.12.6");
    auto criteria = std::make_shared<VRNActivityCriteria>();
    criteria->setInterval(componentsWithHours(1));
    lines();
    onLogicQueue([&](KBEHelperBackupManager& m) {
        m.setSnapshotsCriteria(criteria);
        m.startSnapshots();
    });
    EXPECT_THAT(managerLines(), IsEmpty());
    advance(2h);
    EXPECT_THAT(tool->takeCalls(), IsEmpty());
    EXPECT_EQ(manager->snapshotsInformation().at("DeferReason"), plist::Value("not started"));
}

TEST_F(BackupManagerTest, AScheduledBackupRunsTheToolAndItsResultsReachTheActivity) {
    setTimeMachine("AutoBackup", true);
    make();
    auto criteria = std::make_shared<VRNActivityCriteria>();
    criteria->setInterval(componentsWithHours(1));
    criteria->setAllowBattery(true);
    onLogicQueue([&](KBEHelperBackupManager& m) {
        m.setCriteria(criteria);
        m.start();
    });
    lines();
    advance(10s);
    waitForRunEnd(1);
    EXPECT_THAT(tool->takeCalls(), ElementsAre("disable", "startbackup --auto --rotation --block"));
    EXPECT_EQ(timeMachine->value("RequiresACPower"), plist::Value(false))
        << "battery use is allowed: the engine is told so";
    EXPECT_THAT(managerLines(),
                ElementsAre(Line{LOG_DEBUG, "[3] Disable termination: backup started."},
                            Line{LOG_INFO, "Disabling system scheduler now."},
                            Line{LOG_NOTICE, "Starting backup now."},
                            Line{LOG_NOTICE, "Backup finished."},
                            Line{LOG_DEBUG, "[2] Enable termination: backup finished."}));
    EXPECT_THAT(notifications(), ElementsAre(KBEHelperBackupManager::kSnapshotNotification));
    const auto firstRun = dateOf(manager->backupsInformation(), "LastRun");
    ASSERT_TRUE(firstRun);
    EXPECT_EQ(dateOf(manager->backupsInformation(), "LastTry"), std::nullopt);
    EXPECT_EQ(controller->prepared, 1);
    EXPECT_EQ(controller->unprepared, 1);

    // Result 1: the tool fails. (The engine's "disable" turned its scheduler off.)
    setTimeMachine("AutoBackup", false);
    tool->exitWith("startbackup", 1);
    advance(1h);
    waitForRunEnd(2);
    EXPECT_THAT(tool->takeCalls(), ElementsAre("startbackup --auto --rotation --block"))
        << "the engine's scheduler is off now and RequiresACPower already false";
    EXPECT_THAT(managerLines(), Contains(Line{LOG_ERR, "Backup failed."}));
    EXPECT_THAT(notifications(), ElementsAre(KBEHelperBackupManager::kSnapshotNotification));
    const auto firstTry = dateOf(manager->backupsInformation(), "LastTry");
    ASSERT_TRUE(firstTry);
    EXPECT_EQ(dateOf(manager->backupsInformation(), "LastRun"), firstRun);

    // Result 2: the controller refuses; nothing is run, posted, recorded or unprepared.
    controller->refuse = true;
    advance(1h);
    EXPECT_THAT(
        managerLines(),
        Contains(Line{LOG_NOTICE, "Backup delayed. An update operation is currently running."}));
    EXPECT_THAT(tool->takeCalls(), IsEmpty());
    EXPECT_THAT(notifications(), IsEmpty());
    EXPECT_EQ(dateOf(manager->backupsInformation(), "LastTry"), firstTry);
    EXPECT_EQ(dateOf(manager->backupsInformation(), "LastRun"), firstRun);
    EXPECT_EQ(controller->unprepared, 2);
}

TEST_F(BackupManagerTest, ATimeMachineRecordOfFailureFailsABackupTheToolFinished) {
    make();
    lastDestinationResult(1);
    perform(false);
    waitForRunEnd();
    EXPECT_THAT(takeResults(), ElementsAre(VRNActivityResultFailed));
    EXPECT_THAT(managerLines(), Contains(Line{LOG_ERR, "Backup failed."}));
    EXPECT_THAT(notifications(), ElementsAre(KBEHelperBackupManager::kSnapshotNotification));
}

TEST_F(BackupManagerTest, AMissingToolFailsTheBackup) {
    make();
    tool->remove();
    perform(false);
    waitForRunEnd();
    EXPECT_THAT(takeResults(), ElementsAre(VRNActivityResultFailed));
    EXPECT_THAT(managerLines(), Contains(Line{LOG_ERR, "Backup failed."}));
}

TEST_F(BackupManagerTest, BatteryNotAllowedLeavesTheEnginesPowerRuleAlone) {
    make();
    setTimeMachine("RequiresACPower", true);
    perform(false);
    waitForRunEnd();
    EXPECT_EQ(timeMachine->value("RequiresACPower"), plist::Value(true));

    auto criteria = std::make_shared<VRNActivityCriteria>();
    criteria->setAllowBattery(true);
    onLogicQueue([&](KBEHelperBackupManager& m) { m.setCriteria(criteria); });
    perform(false);
    waitForRunEnd(2);
    EXPECT_EQ(timeMachine->value("RequiresACPower"), plist::Value(false));
}

TEST_F(BackupManagerTest, ADryRunSpawnsNothingAndFinishesAMinuteLater) {
    defaults->setValue("DryRun", true);
    make();
    lines();
    perform(false);
    EXPECT_THAT(managerLines(),
                Contains(Line{LOG_NOTICE, "Starting dry backup now. 60 seconds\xE2\x80\xA6"}));
    advance(60s - 1ms);
    EXPECT_THAT(takeResults(), IsEmpty());
    advance(1ms);
    EXPECT_THAT(takeResults(), ElementsAre(VRNActivityResultFinished));
    EXPECT_THAT(tool->takeCalls(), IsEmpty());
    EXPECT_THAT(notifications(), ElementsAre(KBEHelperBackupManager::kSnapshotNotification));

    lastDestinationResult(1);
    perform(false);
    advance(60s);
    EXPECT_THAT(takeResults(), ElementsAre(VRNActivityResultFailed));
}

TEST_F(BackupManagerTest, InADarkWakeTheRunsSaySoAndOnlyScheduledBackupsWaitAfterAWake) {
    make();
    events->powerState(); // follows sleep and wake from now on
    announce(machine::kSleepAnnouncement);
    announce(machine::kDarkWakeWithBackgroundTasks);
    ASSERT_TRUE(events->recentWake());
    lines();
    perform(true);
    EXPECT_THAT(managerLines(),
                Contains(Line{LOG_DEBUG, "Delaying backup for 10 seconds due to recent wake."}));
    EXPECT_EQ(controller->prepared, 0);
    advance(10s - 1ms);
    EXPECT_EQ(controller->prepared, 0);
    advance(1ms);
    EXPECT_EQ(controller->prepared, 1);
    EXPECT_THAT(managerLines(), Contains(Line{LOG_NOTICE, "Starting backup now (dark wake)."}));
    waitForRunEnd(1);
    EXPECT_THAT(takeResults(), ElementsAre(VRNActivityResultFinished));

    announce(machine::kSleepAnnouncement);
    announce(machine::kDarkWakeWithBackgroundTasks);
    lines();
    bool started = false;
    onLogicQueue([&](KBEHelperBackupManager& m) { started = m.kickstart(); });
    EXPECT_TRUE(started);
    EXPECT_EQ(controller->prepared, 2) << "a kickstart is not delayed";
    EXPECT_THAT(managerLines(), Not(Contains(Line{LOG_DEBUG, "Delaying backup for 10 seconds "
                                                             "due to recent wake."})));
    waitForRunEnd(2);

    defaults->setValue("DryRun", true);
    perform(false);
    EXPECT_THAT(
        managerLines(),
        Contains(Line{LOG_NOTICE, "Starting dry backup now (dark wake). 60 seconds\xE2\x80\xA6"}));
    snapshot(); // the dry backup runs: nothing to do
    advance(60s);
    EXPECT_THAT(takeResults(), ElementsAre(VRNActivityResultFinished, VRNActivityResultFinished));
    snapshot();
    EXPECT_THAT(managerLines(),
                Contains(Line{LOG_NOTICE, "Starting dry run snapshot now (dark wake)."}));
    advance(5s);
    EXPECT_THAT(takeResults(), ElementsAre(VRNActivityResultFinished));
}

TEST_F(BackupManagerTest, KickstartRefusesWhileABackupRunsAndWorksAgainAfterwards) {
    make();
    tool->block("startbackup");
    bool started = false;
    onLogicQueue([&](KBEHelperBackupManager& m) { started = m.kickstart(); });
    EXPECT_TRUE(started);
    ASSERT_TRUE(tool->waitForStart());
    onLogicQueue([&](KBEHelperBackupManager& m) { started = m.kickstart(); });
    EXPECT_FALSE(started);
    EXPECT_EQ(manager->backupsInformation().count("LastRun"), 0u);

    // A snapshot due meanwhile ends at once and runs nothing.
    snapshot();
    EXPECT_THAT(takeResults(), ElementsAre(VRNActivityResultFinished));
    EXPECT_THAT(tool->takeCalls(), ElementsAre("startbackup --auto --rotation --block"));

    tool->release();
    waitForRunEnd();
    onLogicQueue([&](KBEHelperBackupManager& m) { started = m.kickstart(); });
    EXPECT_TRUE(started);
    ASSERT_TRUE(tool->waitForStart());
    tool->release();
    waitForRunEnd(2);
}

TEST_F(BackupManagerTest, AKickstartedBackupHoldsTheScheduledOneBack) {
    make();
    tool->block("startbackup");
    bool started = false;
    onLogicQueue([&](KBEHelperBackupManager& m) { started = m.kickstart(); });
    ASSERT_TRUE(started);
    ASSERT_TRUE(tool->waitForStart());
    scheduleHourly();
    advance(10s);
    EXPECT_THAT(logged(KBEHelperBackupManager::kBackupIdentifier),
                Contains("Deferred: kickstart."));
    tool->release();
    waitForRunEnd();
    EXPECT_EQ(manager->backupsInformation().count("LastRun"), 0u)
        << "a kickstarted backup is not the scheduled one's run";
}

TEST_F(BackupManagerTest, ASnapshotRunsTheToolAndIgnoresItsOutcome) {
    make();
    tool->exitWith("snapshot", 1);
    tool->block("snapshot");
    lines();
    snapshot();
    ASSERT_TRUE(tool->waitForStart());
    EXPECT_THAT(managerLines(),
                ElementsAre(Line{LOG_DEBUG, "[2] Disable termination: snapshot started."},
                            Line{LOG_NOTICE, "Creating snapshot now."}));
    scheduleHourly();
    advance(10s);
    EXPECT_THAT(logged(KBEHelperBackupManager::kBackupIdentifier),
                Contains("Deferred: local snapshot."))
        << "no scheduled backup starts during the snapshot";
    EXPECT_THAT(tool->takeCalls(), ElementsAre("snapshot"));

    tool->release();
    waitForRunEnd();
    EXPECT_THAT(takeResults(), ElementsAre(VRNActivityResultFinished));
    EXPECT_THAT(managerLines(),
                ElementsAre(Line{LOG_ERR, tool->path() + " exited with status 1."},
                            Line{LOG_NOTICE, "Snapshot created."},
                            Line{LOG_DEBUG, "[2] Enable termination: snapshot finished."}));
    EXPECT_THAT(notifications(), ElementsAre(KBEHelperBackupManager::kSnapshotNotification));
    advance(10s);
    waitForRunEnd(2);
    EXPECT_THAT(tool->takeCalls(), ElementsAre("startbackup --auto --rotation --block"))
        << "the backup runs once the snapshot's assertion is gone";
    notifications();

    controller->refuse = true;
    snapshot();
    EXPECT_THAT(takeResults(), ElementsAre(VRNActivityResultDeferred));
    EXPECT_THAT(
        managerLines(),
        Contains(Line{LOG_NOTICE, "Snapshot delayed. An update operation is currently running."}));
    EXPECT_THAT(tool->takeCalls(), IsEmpty());
    EXPECT_THAT(notifications(), IsEmpty());
    EXPECT_EQ(controller->unprepared, 2);
}

TEST_F(BackupManagerTest, TerminatingDuringABlockedBackupExitsAtOnce) {
    make();
    scheduleHourly();
    tool->block("startbackup");
    advance(10s);
    ASSERT_TRUE(tool->waitForStart());
    lines();
    termination->terminate();
    EXPECT_THAT(exits, ElementsAre(0)) << "the running backup's hold does not delay the exit";
    EXPECT_THAT(managerLines(), Contains(Line{LOG_NOTICE, "Terminating now."}));

    // In the daemon the process is gone; here the backup ends on its own.
    tool->release();
    waitForRunEnd();
    EXPECT_TRUE(dateOf(manager->backupsInformation(), "LastRun"));
    EXPECT_THAT(exits, ElementsAre(0));
}

} // namespace

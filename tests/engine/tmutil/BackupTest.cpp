// Backups with the real engine and restic into a repository inside the test's root.

#include "platform/machine-sim/SimulatedFiles.h"
#include "tests/engine/tmutil/EngineFixture.h"

#include <chrono>
#include <csignal>
#include <ctime>
#include <sys/wait.h>

namespace enginetest {
namespace {

// The one child process of `parent`, if it has exactly one.
std::optional<pid_t> onlyChild(pid_t parent) {
    const std::string pid = std::to_string(parent);
    std::istringstream children(readText("/proc/" + pid + "/task/" + pid + "/children"));
    pid_t child = 0;
    pid_t another = 0;
    if (!(children >> child) || (children >> another)) {
        return std::nullopt;
    }
    return child;
}

// Lets a stopped process go on, at the latest when the test ends.
struct ResumeAtEnd {
    pid_t process;
    void now() {
        if (process > 0) {
            ::kill(process, SIGCONT);
            process = 0;
        }
    }
    ~ResumeAtEnd() { now(); }
};

TEST_F(EngineTest, BackupsAddOnlyWhatChangedAndAreListed) {
    setUpDestination();
    for (int i = 0; i < 8; ++i) {
        writeRandomFile(data_ / ("tree/file" + std::to_string(i)), 256 * 1024);
    }
    const auto first = tmutil({"startbackup", "--block"});
    ASSERT_EQ(first.exitStatus, 0) << first.output << workerLog();
    EXPECT_EQ(recordedResult(), 0);
    EXPECT_NE(workerLog().find("Backup summary: 8 files (8 new, 0 changed)"), std::string::npos)
        << workerLog();

    const std::uintmax_t before = folderSize(repository_ / "data");
    writeRandomFile(data_ / "tree/added", 512 * 1024);
    const auto second = tmutil({"startbackup", "--block"});
    ASSERT_EQ(second.exitStatus, 0) << second.output << workerLog();
    const std::uintmax_t added = folderSize(repository_ / "data") - before;
    // The new file's data and a little metadata, not the tree again.
    EXPECT_GE(added, 512u * 1024);
    EXPECT_LT(added, 512u * 1024 + 64 * 1024);
    EXPECT_NE(workerLog().find("Backup summary: 9 files (1 new, 0 changed)"), std::string::npos);

    const auto listed = tmutil({"listbackups"});
    ASSERT_EQ(listed.exitStatus, 0) << listed.output;
    EXPECT_EQ(backupCount(), 2u);
    const auto latest = tmutil({"latestbackup"});
    ASSERT_EQ(latest.exitStatus, 0);
    // The latest is the last one listed.
    EXPECT_TRUE(listed.output.ends_with(latest.output)) << listed.output << latest.output;
    EXPECT_EQ(latest.output.size(), std::string("2026-12-08-231203  9f96eead\n").size());

    const auto entry = destinationEntry();
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->at(engine::kLastAttemptDateKey), entry->at(engine::kLastSuccessDateKey));
}

TEST_F(EngineTest, WrongPasswordIsRecordedAsFailure) {
    setUpDestination();
    writeRandomFile(data_ / "a", 1024);
    ASSERT_EQ(tmutil({"startbackup", "--block"}).exitStatus, 0);
    const auto success = destinationEntry()->at(engine::kLastSuccessDateKey);

    std::ofstream(engine::passwordFile(), std::ios::trunc) << "not the password\n";
    const auto failed = tmutil({"startbackup", "--block"});
    EXPECT_EQ(failed.exitStatus, 1) << failed.output;
    EXPECT_EQ(recordedResult(), 1);
    const auto entry = destinationEntry();
    EXPECT_EQ(entry->at(engine::kLastSuccessDateKey), success);
    EXPECT_GT(entry->at(engine::kLastAttemptDateKey).asDate()->secondsSinceReferenceDate,
              success.asDate()->secondsSinceReferenceDate);
    EXPECT_NE(workerLog().find("Backup failed: Fatal: wrong password"), std::string::npos)
        << workerLog();
    const auto status = tmutil({"status"});
    EXPECT_NE(status.output.find("RESULT = 1;"), std::string::npos) << status.output;
}

TEST_F(EngineTest, UnreadableSourceIsSuccessWithWarning) {
    setUpDestination();
    writeRandomFile(data_ / "a", 1024);
    // Even root cannot open another process's memory file: restic reports it and exits 3.
    ASSERT_EQ(tmutil({"addsource", "/proc/1/mem"}).exitStatus, 0);
    const auto run = tmutil({"startbackup", "--block"});
    EXPECT_EQ(run.exitStatus, 0) << run.output << workerLog();
    EXPECT_EQ(recordedResult(), 0);
    EXPECT_NE(workerLog().find("Backup warning: 1 files could not be read."), std::string::npos)
        << workerLog();
    EXPECT_EQ(backupCount(), 1u);
}

TEST_F(EngineTest, StopMidBackupLeavesACheckableRepository) {
    setUpDestination();
    for (int i = 0; i < 160; ++i) {
        writeRandomFile(data_ / ("big/" + std::to_string(i / 16) + "/f" + std::to_string(i)),
                        1024 * 1024);
    }
    ::setenv("RESTIC_PROGRESS_FPS", "20", 1);
    testsupport::ChildProcess backup({TMUTIL_PATH, "startbackup", "--block"},
                                     testsupport::ChildProcess::Errors::WithOutput);
    ASSERT_TRUE(waitForStatus([](const plist::Dictionary& status) {
        const auto phase = status.find(engine::kPhaseKey);
        const auto bytes = status.find(engine::kBytesDoneKey);
        return phase != status.end() && *phase->second.asString() == "Copying" &&
               bytes != status.end() && bytes->second.asInteger().value_or(0) > 0;
    }));
    ::unsetenv("RESTIC_PROGRESS_FPS");
    // restic is held where it is, so that however slow the checks below run, the stop
    // comes mid-backup.
    const auto worker = engine::runningWorker();
    ASSERT_TRUE(worker);
    const std::optional<pid_t> copier = onlyChild(*worker);
    ASSERT_TRUE(copier);
    ASSERT_EQ(::kill(*copier, SIGSTOP), 0);
    ResumeAtEnd resume{*copier};

    // While it runs: one backup at a time, and the machine is held awake.
    const auto second = tmutil({"startbackup"});
    EXPECT_EQ(second.exitStatus, 0);
    EXPECT_NE(second.output.find("A backup is already running."), std::string::npos);
    const auto held =
        readText(machine::sim::assertionsFolder() + "/" + std::to_string(*worker) + ".plist");
    EXPECT_NE(held.find("BackgroundTask"), std::string::npos);
    EXPECT_NE(tmutil({"status"}).output.find("Running = 1;"), std::string::npos);

    // restic takes the stop once it runs again.
    ASSERT_EQ(tmutil({"stopbackup"}).exitStatus, 0);
    ASSERT_TRUE(waitForWorkerLog("Stopping backup."));
    resume.now();
    std::string output;
    backup.readAll(&output, kBackupLimit);
    const auto status = backup.wait(kBackupLimit);
    ASSERT_TRUE(status && WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 4) << output << workerLog();
    EXPECT_EQ(recordedResult(), 4);
    EXPECT_NE(workerLog().find("Backup canceled."), std::string::npos);

    const auto check = restic({"check"});
    EXPECT_EQ(check.exitStatus, 0) << check.output;
    const auto locks = restic({"list", "locks", "--no-lock"});
    EXPECT_EQ(locks.exitStatus, 0);
    EXPECT_EQ(locks.output, "") << "restic left its lock behind";
    EXPECT_FALSE(engine::runningWorker());
}

TEST_F(EngineTest, StartWithoutBlockRunsOnDetached) {
    setUpDestination();
    writeRandomFile(data_ / "a", 1024);
    const auto started = tmutil({"startbackup", "--rotation"});
    ASSERT_EQ(started.exitStatus, 0) << started.output;
    ASSERT_TRUE(waitForStatus(
        [](const plist::Dictionary& status) { return status.contains(engine::kLastExitKey); }));
    EXPECT_EQ(engine::readStatus()->at(engine::kLastExitKey), plist::Value(0));
    EXPECT_EQ(recordedResult(), 0);
    EXPECT_NE(workerLog().find("Thinning finished."), std::string::npos);
}

TEST_F(EngineTest, StopOfABlockingStartReachesTheWorker) {
    setUpDestination();
    for (int i = 0; i < 100; ++i) {
        writeRandomFile(data_ / ("big/f" + std::to_string(i)), 1024 * 1024);
    }
    // The daemon stopping while it waits on `startbackup --block` stops the backup too.
    testsupport::ChildProcess backup({TMUTIL_PATH, "startbackup", "--block"},
                                     testsupport::ChildProcess::Errors::WithOutput);
    ASSERT_TRUE(waitForStatus([](const plist::Dictionary& status) {
        const auto phase = status.find(engine::kPhaseKey);
        return phase != status.end() && *phase->second.asString() == "Copying";
    }));
    backup.signal(SIGTERM);
    const auto status = backup.wait(kBackupLimit);
    ASSERT_TRUE(status && WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 4);
    EXPECT_EQ(recordedResult(), 4);
    EXPECT_EQ(restic({"check"}).exitStatus, 0);
}

// "2026-12-08 10:00:00" for a Unix time, in UTC (the test's time zone).
std::string resticTime(std::time_t when) {
    std::tm parts{};
    gmtime_r(&when, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

TEST_F(EngineTest, RotationThinsOldBackups) {
    setUpDestination();
    writeRandomFile(data_ / "a", 1024);
    const std::time_t now = std::time(nullptr);
    const std::time_t hour = now - now % 3600 - 3 * 3600;
    const std::time_t day = now - now % 86400 - 3 * 86400;
    // A Wednesday more than a year ago (1970-01-01 was a Thursday).
    std::time_t old = now - now % 86400 - 400 * 86400;
    while ((old / 86400 + 4) % 7 != 3) {
        old -= 86400;
    }
    // Pairs in one hour, one day and one week: each pair keeps only its later backup.
    for (std::time_t when :
         {hour + 600, hour + 1200, day + 36000, day + 39600, old + 36000, old + 86400 + 36000}) {
        const auto made = restic({"backup", "--time", resticTime(when), data_.string()});
        ASSERT_EQ(made.exitStatus, 0) << made.output;
    }
    ASSERT_EQ(backupCount(), 6u);

    const auto run = tmutil({"startbackup", "--auto", "--rotation", "--block"});
    ASSERT_EQ(run.exitStatus, 0) << run.output << workerLog();
    EXPECT_EQ(backupCount(), 4u);
    const auto listed = tmutil({"listbackups"}).output;
    for (std::time_t kept : {hour + 1200, day + 39600, old + 86400 + 36000}) {
        std::string name = resticTime(kept);
        name =
            name.substr(0, 10) + "-" + name.substr(11, 2) + name.substr(14, 2) + name.substr(17, 2);
        EXPECT_NE(listed.find(name), std::string::npos) << name << " in\n" << listed;
    }
    EXPECT_NE(workerLog().find("Starting automatic backup"), std::string::npos);
    EXPECT_NE(workerLog().find("Thinning finished."), std::string::npos);
    EXPECT_EQ(restic({"check"}).exitStatus, 0);
}

TEST_F(EngineTest, AutomaticBackupOnBatteryIsSkipped) {
    setUpDestination();
    writeRandomFile(data_ / "a", 1024);
    ASSERT_EQ(tmutil({"startbackup", "--block"}).exitStatus, 0);
    const auto before = destinationEntry();
    std::string problem;
    ASSERT_TRUE(machine::sim::ensureFolder(machine::sim::folder(), &problem)) << problem;
    ASSERT_TRUE(machine::sim::writeFile(
        machine::sim::filePath("power-source.plist"),
        plist::Value(plist::Dictionary{{machine::sim::kStateKey, plist::Value("battery")}}),
        &problem))
        << problem;

    const auto skipped = tmutil({"startbackup", "--auto", "--rotation", "--block"});
    EXPECT_EQ(skipped.exitStatus, 75);
    EXPECT_NE(skipped.output.find("battery"), std::string::npos) << skipped.output;
    EXPECT_EQ(destinationEntry(), before);
    EXPECT_EQ(backupCount(), 1u);

    // A manual backup does not wait for mains power, and neither does an automatic one once
    // battery use is allowed.
    EXPECT_EQ(tmutil({"startbackup", "--block"}).exitStatus, 0);
    ASSERT_TRUE(engine::Preferences().setBoolean(engine::kRequiresACPowerKey, false, &problem));
    EXPECT_EQ(tmutil({"startbackup", "--auto", "--block"}).exitStatus, 0);
    EXPECT_EQ(backupCount(), 3u);
}

} // namespace
} // namespace enginetest

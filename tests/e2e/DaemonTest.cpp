// The built daemon as systemd runs it: socket-activated in a private installation root on
// the simulated machine, driven by the built kbectl over its real socket. Runs as root (the
// daemon refuses anyone else); every wait is bounded.
#include "engine/core/EngineFiles.h"
#include "engine/core/Restic.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/InstallationRoot.h"
#include "tests/support/TempFolder.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <poll.h>
#include <sstream>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;
using testsupport::ChildProcess;

struct Outcome {
    int status = -1;
    std::string output;
};

class DaemonTest : public testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "the daemon runs only as root";
        }
        testsupport::useAsInstallationRoot(root.path());
        ::setenv("KEELBROOK_PLATFORM", "simulated", 1);
        // The client must be an installed program: owned by root, at its mapped place.
        kbectl = testsupport::locationIn(root.path(), "/Library/Keelbrook/kbectl");
        std::filesystem::create_directories(kbectl.parent_path());
        std::filesystem::copy_file(KBECTL, kbectl);
        sockets = testsupport::locationIn(root.path(), "/var/run/keelbrook/scheduler.socket")
                      .parent_path();
        std::filesystem::create_directories(sockets);
    }
    void TearDown() override {
        if (activator) {
            activator->signal(SIGTERM);
            activator->wait();
        }
    }

    // systemd-socket-activate holds both sockets and starts the daemon on the first client.
    void activate() {
        activator = std::make_unique<ChildProcess>(
            std::vector<std::string>{
                "systemd-socket-activate", "-l", (sockets / "scheduler.socket").string(), "-l",
                (sockets / "authority.socket").string(), "--fdname=scheduler:authority", "-E",
                "KEELBROOK_ROOT", "-E", "KEELBROOK_PLATFORM", "-E", "HOME", DAEMON},
            ChildProcess::Errors::WithOutput, true);
        ASSERT_TRUE(activator->started());
        // It says when it listens.
        for (int i = 0; i < 2; ++i) {
            const auto line = activator->line();
            ASSERT_TRUE(line) << "the activator did not start listening";
        }
    }

    Outcome ctl(std::vector<std::string> args) {
        args.insert(args.begin(), kbectl.string());
        ChildProcess child(args, ChildProcess::Errors::WithOutput);
        Outcome outcome;
        child.readAll(&outcome.output);
        const auto status = child.wait();
        outcome.status = status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
        return outcome;
    }

    std::string logFile() { return readText(logFolder() / "scheduler.log"); }

    std::filesystem::path logFolder() {
        return testsupport::locationIn(root.path(), "/Library/Logs/Keelbrook");
    }

    static std::string readText(const std::filesystem::path& file) {
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Waits, without sleeping, until the daemon's log holds `text`; each line it writes
    // modifies the file.
    bool waitForLogLine(const std::string& text, std::chrono::seconds limit) {
        std::filesystem::create_directories(logFolder());
        const int watch = ::inotify_init1(IN_CLOEXEC);
        ::inotify_add_watch(watch, logFolder().c_str(), IN_MODIFY | IN_CREATE);
        const auto deadline = std::chrono::steady_clock::now() + limit;
        bool found = false;
        while (!(found = logFile().find(text) != std::string::npos) &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd ready{watch, POLLIN, 0};
            if (::poll(&ready, 1, 1000) > 0) {
                char events[4096];
                (void)!::read(watch, events, sizeof events);
            }
        }
        ::close(watch);
        return found;
    }

    // A program installed at its mapped place below the root, owned by root.
    void install(const char* built, const std::string& place) {
        const auto installed = testsupport::locationIn(root.path(), place);
        std::filesystem::create_directories(installed.parent_path());
        std::filesystem::copy_file(built, installed);
    }

    // The backups restic lists in `repository` (each snapshot names its short id once).
    std::size_t backupsInRepository(const std::filesystem::path& repository) {
        const Outcome listed =
            run(engine::resticCommand(repository.string(), {"snapshots", "--json"}).args);
        EXPECT_EQ(listed.status, 0) << listed.output;
        std::size_t count = 0;
        for (auto at = listed.output.find("\"short_id\""); at != std::string::npos;
             at = listed.output.find("\"short_id\"", at + 1)) {
            ++count;
        }
        return count;
    }

    Outcome run(const std::vector<std::string>& args) {
        ChildProcess child(args, ChildProcess::Errors::WithOutput);
        Outcome outcome;
        child.readAll(&outcome.output, 120s);
        const auto status = child.wait(120s);
        outcome.status = status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
        return outcome;
    }

    testsupport::TempFolder root;
    std::filesystem::path kbectl;
    std::filesystem::path sockets;
    std::unique_ptr<ChildProcess> activator;
};

TEST_F(DaemonTest, NotRootIsRefusedWithTheProgramsPath) {
    ChildProcess child({"/usr/sbin/runuser", "-u", "nobody", "--", DAEMON},
                       ChildProcess::Errors::WithOutput);
    std::string output;
    child.readAll(&output);
    const auto status = child.wait();
    ASSERT_TRUE(status);
    EXPECT_EQ(WEXITSTATUS(*status), 1);
    EXPECT_EQ(output, std::string(DAEMON) + " must be run as root...\n");
}

TEST_F(DaemonTest, ClientsDriveTheDaemonThroughItsSocket) {
    activate();
    const Outcome status = ctl({"status"});
    EXPECT_EQ(status.status, 0) << status.output;
    EXPECT_EQ(
        status.output,
        "{\n    Backups = disabled;\n    MasterSwitch = enabled;\n    Snapshots = disabled;\n}\n");

    EXPECT_EQ(ctl({"dry-run", "yes"}).status, 0);
    EXPECT_EQ(ctl({"dry-run"}).output, "yes\n");
    const Outcome enabled = ctl({"enable", "backups"});
    EXPECT_EQ(enabled.status, 0) << enabled.output;
    EXPECT_EQ(ctl({"backups", "enabled"}).output, "yes\n");
    EXPECT_TRUE(std::filesystem::exists(
        testsupport::locationIn(root.path(), "/Library/Keelbrook/Settings.plist")));

    const Outcome interval = ctl({"set-interval", "2d"});
    EXPECT_EQ(interval.status, 0) << interval.output;
    EXPECT_EQ(ctl({"backups", "interval"}).output, "{\n    Days = 2;\n}\n");
    EXPECT_EQ(ctl({"backups", "mode"}).output, "Interval\n");

    // A dry-run backup takes a minute: the second kickstart finds it running.
    EXPECT_EQ(ctl({"backups", "kickstart"}).status, 0);
    const Outcome again = ctl({"backups", "kickstart"});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.output, "A backup operation is currently running.\n");
    const Outcome info = ctl({"info"});
    EXPECT_EQ(info.status, 0);
    EXPECT_THAT(info.output, HasSubstr("> Backups\n"));
    // The kickstarted backup holds the scheduled one back.
    EXPECT_THAT(info.output, HasSubstr("> Backups\n\nDeferred: kickstart.\n"));

    const Outcome bad = ctl({"backups", "mode", "Sometimes"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_THAT(logFile(), HasSubstr("Running version"));
}

// The activator becomes the daemon when the first client arrives (it hands the sockets on
// and executes it), so its exit is the daemon's.
TEST_F(DaemonTest, WithNothingHeldTheDaemonExitsThirtySecondsAfterItsLastClient) {
    activate();
    ASSERT_EQ(ctl({"status"}).status, 0);
    const auto left = std::chrono::steady_clock::now();
    const auto status = activator->wait(45s);
    const auto idle = std::chrono::steady_clock::now() - left;
    ASSERT_TRUE(status) << "the daemon did not exit";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    EXPECT_GE(idle, 29s);
    EXPECT_LE(idle, 36s);
    activator.reset();
    EXPECT_THAT(logFile(), HasSubstr("Terminating now."));
}

TEST_F(DaemonTest, SigtermDuringABackupEndsTheDaemonAtOnce) {
    activate();
    ASSERT_EQ(ctl({"dry-run", "yes"}).status, 0);
    ASSERT_EQ(ctl({"backups", "kickstart"}).status, 0);
    activator->signal(SIGTERM);
    const auto status = activator->wait(10s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    activator.reset();
    const std::string log = logFile();
    EXPECT_THAT(log, HasSubstr("Starting dry backup now. 60 seconds\u2026"));
    EXPECT_THAT(log, HasSubstr("Terminating now."));
}

// One command per message of the catalogue that the tests above leave out.
TEST_F(DaemonTest, TheCataloguesSwitchesAndUpdateSettings) {
    activate();
    struct Step {
        std::vector<std::string> command;
        std::string output;
    };
    const std::vector<Step> steps = {
        {{"enabled"}, "yes\n"},
        {{"disable"}, ""},
        {{"enabled"}, "no\n"},
        {{"disable"}, ""}, // already disabled: nothing to do, still a success
        {{"enable"}, ""},
        {{"enabled", "no"}, ""},
        {{"status"},
         "{\n    Backups = disabled;\n    MasterSwitch = disabled;\n    Snapshots = "
         "disabled;\n}\n"},
        {{"enabled", "yes"}, ""},
        {{"snapshots", "enabled", "yes"}, ""},
        {{"snapshots", "enabled"}, "yes\n"},
        {{"backups", "when-inactive", "yes"}, ""},
        {{"backups", "when-inactive"}, "yes\n"},
        {{"backups", "mode"}, "WhenInactive\n"},
        {{"backups", "enabled", "yes"}, ""},
        {{"updates", "enabled"}, "no\n"},
        {{"updates", "mode", "beta"}, ""},
        {{"updates", "mode"}, "beta\n"},
        {{"updates", "feed"}, "std\n"},
        {{"updates", "set-feed", "test"}, ""},
        {{"updates", "feed"}, "test\n"},
    };
    for (const Step& step : steps) {
        const Outcome outcome = ctl(step.command);
        EXPECT_EQ(outcome.status, 0) << testing::PrintToString(step.command) << outcome.output;
        EXPECT_EQ(outcome.output, step.output) << testing::PrintToString(step.command);
    }
    const Outcome version = ctl({"version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_THAT(version.output, testing::MatchesRegex("[0-9]+\\.[0-9]+\\.[0-9]+ \\([0-9]+\\)\n"));
}

TEST_F(DaemonTest, RefusedSettingsLeaveTheSettingsInForce) {
    activate();
    const auto file = root.path() / "settings.plist";
    std::ofstream(file)
        << "<plist><dict><key>Backups</key><true/><key>Bogus</key><integer>1</integer>"
           "</dict></plist>";
    const Outcome refused = ctl({"set-settings", file.string()});
    EXPECT_EQ(refused.status, 1);
    EXPECT_THAT(refused.output, HasSubstr("Unknown key: 'Bogus'."));
    EXPECT_EQ(ctl({"backups", "enabled"}).output, "no\n");

    // An older release's shape is brought up to date and accepted.
    std::ofstream(file) << "<plist><dict><key>Backups</key><true/><key>Interval</key>"
                           "<integer>3600</integer></dict></plist>";
    const Outcome old = ctl({"set-settings", file.string()});
    EXPECT_EQ(old.status, 0) << old.output;
    EXPECT_EQ(ctl({"backups", "enabled"}).output, "yes\n");
}

// The real engine under the root: the daemon's kickstart runs the installed tmutil, which
// runs backupd (no systemd here, so as its child), which runs restic into a repository in
// the test's folder.
TEST_F(DaemonTest, AKickstartBacksUpWithTheRealEngine) {
    install(TMUTIL, "/usr/bin/tmutil");
    install(BACKUPD, "/usr/libexec/keelbrook/backupd");
    const std::string tmutil = testsupport::locationIn(root.path(), "/usr/bin/tmutil").string();
    const auto data = root.path() / "data";
    const auto repository = root.path() / "repository";
    std::filesystem::create_directories(data / "documents");
    std::ofstream(data / "documents/report") << "quarterly figures\n";
    std::ofstream(data / "notes") << "remember the milk\n";
    const Outcome destination = run({tmutil, "setdestination", repository.string()});
    ASSERT_EQ(destination.status, 0) << destination.output;
    for (const char* folder : {"/home", "/etc"}) {
        ASSERT_EQ(run({tmutil, "removesource", folder}).status, 0);
    }
    ASSERT_EQ(run({tmutil, "addsource", data.string()}).status, 0);

    activate();
    const Outcome enabled = ctl({"enable", "backups"});
    ASSERT_EQ(enabled.status, 0) << enabled.output;
    const Outcome kickstart = ctl({"backups", "kickstart"});
    ASSERT_EQ(kickstart.status, 0) << kickstart.output;
    ASSERT_TRUE(waitForLogLine("Backup finished.", 120s)) << logFile();
    EXPECT_THAT(logFile(), HasSubstr("Starting backup now."));
    EXPECT_THAT(logFile(), testing::Not(HasSubstr("Backup failed.")));

    EXPECT_EQ(backupsInRepository(repository), 1u);

    // A kickstart's outcome goes to no one; a scheduled run's is the activity's last run,
    // which info shows. With an interval the overdue backup runs at once.
    ASSERT_EQ(ctl({"set-interval", "1h"}).status, 0);
    ASSERT_TRUE(waitForLogLine("[com.vornhal.keelbrook.backup] Activity finished.", 120s))
        << logFile();
    const Outcome info = ctl({"info"});
    EXPECT_EQ(info.status, 0) << info.output;
    EXPECT_THAT(info.output, testing::StartsWith("> Backups\nLast run: "));
    // Both runs rotate: of two backups within the hour the newer is kept.
    EXPECT_EQ(backupsInRepository(repository), 1u);

    // No journal runs here (there is no private one to write to): backupd's lines are read
    // from its own log file.
    const std::string worker = readText(logFolder() / "backupd.log");
    EXPECT_THAT(worker, HasSubstr("Backup summary: 2 files (2 new, 0 changed)"));
    EXPECT_THAT(worker, HasSubstr("Backup summary: 2 files (0 new, 0 changed)"));
    EXPECT_THAT(worker, HasSubstr("Thinning finished.")) << worker;
}

} // namespace

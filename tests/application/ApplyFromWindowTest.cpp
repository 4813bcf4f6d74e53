// The editor window applying settings to the built daemon, socket-activated in a private
// installation root; the window runs as the installed application (the daemon talks only
// to installed programs) and kbectl reads the outcome back. Runs as root.
#include "tests/support/ChildProcess.h"
#include "tests/support/InstallationRoot.h"
#include "tests/support/TempFolder.h"

#include <csignal>
#include <filesystem>
#include <gmock/gmock.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using testing::HasSubstr;
using testsupport::ChildProcess;

struct Outcome {
    int status = -1;
    std::string output;
};

Outcome run(std::vector<std::string> args) {
    ChildProcess child(args, ChildProcess::Errors::Discard);
    Outcome outcome;
    child.readAll(&outcome.output);
    const auto status = child.wait();
    outcome.status = status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
    return outcome;
}

std::filesystem::path install(const std::filesystem::path& root, const char* built,
                              const char* productPath) {
    const auto installed = testsupport::locationIn(root, productPath);
    std::filesystem::create_directories(installed.parent_path());
    std::filesystem::copy_file(built, installed);
    return installed;
}

TEST(ApplyFromWindowTest, TheWindowsSettingsReachTheDaemon) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "the daemon runs only as root";
    }
    testsupport::TempFolder root;
    testsupport::useAsInstallationRoot(root.path());
    ::setenv("KEELBROOK_PLATFORM", "simulated", 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const auto window = install(root.path(), DRIVER, "/Applications/Keelbrook.app");
    const auto kbectl = install(root.path(), KBECTL, "/Library/Keelbrook/kbectl");
    const auto sockets =
        testsupport::locationIn(root.path(), "/var/run/keelbrook/scheduler.socket").parent_path();
    std::filesystem::create_directories(sockets);
    ChildProcess activator(
        {"systemd-socket-activate", "-l", (sockets / "scheduler.socket").string(), "-l",
         (sockets / "authority.socket").string(), "--fdname=scheduler:authority", "-E",
         "KEELBROOK_ROOT", "-E", "KEELBROOK_PLATFORM", "-E", "HOME", DAEMON},
        ChildProcess::Errors::WithOutput, true);
    ASSERT_TRUE(activator.started());
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(activator.line()) << "the activator did not start listening";
    }

    const Outcome shown = run({window.string()});
    EXPECT_EQ(shown.status, 0) << shown.output;
    EXPECT_EQ(shown.output,
              "Settings applied successfully.|Keelbrook will now enforce the new scheduling.\n"
              "Settings already applied.|The settings you are attempting to apply are already "
              "the ones installed in your system.\n");
    EXPECT_EQ(run({kbectl.string(), "backups", "interval"}).output, "{\n    Days = 3;\n}\n");
    EXPECT_EQ(run({kbectl.string(), "backups", "mode"}).output, "Interval\n");
    EXPECT_EQ(run({kbectl.string(), "backups", "enabled"}).output, "yes\n");

    activator.signal(SIGTERM);
    activator.wait();
}

} // namespace

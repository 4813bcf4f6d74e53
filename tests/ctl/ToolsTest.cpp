#include "ctl/KBECtlCommands.h"
#include "platform/machine-sim/SimulatedSources.h"
#include "tests/common/LogTestSupport.h"
#include "tests/ctl/CtlTestSupport.h"

#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <sys/stat.h>

namespace {

using namespace ctltest;
using testing::ElementsAre;

// A stand-in for a program kbectl runs: it writes its arguments, one per line, to
// "<tool>.args" and exits with the status in "<tool>.status" (0 when absent).
class FakeTool {
public:
    FakeTool(const std::filesystem::path& root, std::string_view productPath)
        : path_(testsupport::locationIn(root, productPath)) {
        std::filesystem::create_directories(path_.parent_path());
        std::filesystem::remove(path_.string() + ".status");
        std::filesystem::remove(path_.string() + ".args");
        std::ofstream(path_) << "#!/bin/sh\n"
                                "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$0.args\"\n"
                                "[ -f \"$0.status\" ] && exit \"$(cat \"$0.status\")\"\n"
                                "exit 0\n";
        ::chmod(path_.c_str(), 0755);
    }
    void exitWith(int status) { std::ofstream(path_.string() + ".status") << status; }
    std::vector<std::string> arguments() const {
        return logtest::linesOf(logtest::readFile(path_.string() + ".args"));
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

class ToolsTest : public CtlTest {
protected:
    // The death test's child runs the suite again in a process of its own: it keeps the
    // parent's installation root, so that both see the same tools and package.
    static void SetUpTestSuite() {
        static constexpr const char* kInherited = "KEELBROOK_CTL_TEST_ROOT";
        if (const char* inherited = std::getenv(kInherited)) {
            rootPath = inherited;
            testsupport::useAsInstallationRoot(rootPath);
            logtest::restartLogging("ctl");
        } else {
            static logtest::TempFolder* const folder = logtest::installLogging("ctl");
            rootPath = folder->path();
            ::setenv(kInherited, rootPath.c_str(), 1);
        }
    }
    void SetUp() override { environment.machine = machine::createSimulatedMachine(); }

    struct Root {
        const std::filesystem::path& path() const { return rootPath; }
    };
    static inline std::filesystem::path rootPath;
    static inline const Root root_{};
    const Root* root = &root_;
};

TEST_F(ToolsTest, LogRunsTheLogToolWithTheStyleOfTheSystem) {
    FakeTool log(root->path(), "/usr/bin/log");
    EXPECT_EQ(run({"log", "--last", "2h"}).status, 0);
    EXPECT_THAT(log.arguments(),
                ElementsAre("show", "--debug", "--info", "--last", "2h", "--predicate",
                            "subsystem = 'com.vornhal.keelbrook'", "--style", "compact"));
    log.exitWith(3);
    EXPECT_EQ(run({"log"}).status, 0) << "the tool's outcome is ignored";

    environment = testsupport::environment("10.12.6");
    run({"log"});
    EXPECT_EQ(log.arguments().back(), "syslog");

    FakeTool syslog(root->path(), "/usr/bin/syslog");
    environment = testsupport::environment("10.11.6");
    run({"log", "--last", "30m"});
    EXPECT_THAT(syslog.arguments(),
                ElementsAre("-k", "Facility", "com.vornhal.keelbrook", "-k", "Time", "ge", "-30m"));
}

TEST_F(ToolsTest, DebugLogsConfiguresTheSubsystem) {
    FakeTool log(root->path(), "/usr/bin/log");
    EXPECT_EQ(run({"debug-logs", "yes"}).status, 0);
    EXPECT_THAT(log.arguments(), ElementsAre("config", "--subsystem", "com.vornhal.keelbrook",
                                             "--mode", "level:debug,persist:info"));
    log.exitWith(1);
    EXPECT_EQ(run({"debug-logs", "no"}).status, 1);
    EXPECT_EQ(log.arguments().back(), "level:info,persist:default");
    EXPECT_EQ(run({"debug-logs"}).out, "Missing yes/no argument.\n");

    environment = testsupport::environment("10.11.6");
    const Result old = run({"debug-logs", "yes"});
    EXPECT_EQ(old.status, 1);
    EXPECT_EQ(old.out, "Requires macOS 10.12 or later.");
}

TEST_F(ToolsTest, UninstallRunsTheScriptAndReportsItsOutcome) {
    // /bin/sh is never mapped: the script is the mapped uninstall.sh.
    const auto script = testsupport::locationIn(root->path(), "/Library/Keelbrook/uninstall.sh");
    std::filesystem::create_directories(script.parent_path());
    std::ofstream(script) << "exit 0\n";
    const Result done = run({"uninstall"});
    EXPECT_EQ(done.status, 0);
    EXPECT_EQ(done.out, "Keelbrook has been uninstalled.\n");

    std::ofstream(script) << "exit 4\n";
    const Result failed = run({"uninstall"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.out.rfind("Could not uninstall. ", 0), 0u) << failed.out;
    EXPECT_THAT(failed.out, testing::HasSubstr("4"));
}

// _update leaves its process group, which it may only do in a process of its own.
TEST_F(ToolsTest, UpdateRunsTheInstallerAndDeletesThePackageWhateverTheOutcome) {
    FakeTool installer(root->path(), "/usr/sbin/installer");
    const std::string package = (root->path() / "Keelbrook.pkg").string();
    for (int outcome : {0, 1}) {
        std::ofstream(package) << "package";
        installer.exitWith(outcome);
        int posted = 0;
        postDidUpdate = [&posted] {
            ++posted;
        };
        EXPECT_EXIT(
            {
                const Result r = run({"_update", package});
                std::exit(r.status == outcome && posted == 1 && !std::filesystem::exists(package)
                              ? 0
                              : 10 + r.status);
            },
            testing::ExitedWithCode(0), "")
            << "installer exit " << outcome;
        EXPECT_THAT(installer.arguments(), ElementsAre("-pkg", package, "-target", "/"));
        EXPECT_FALSE(std::filesystem::exists(package));
    }
    EXPECT_EQ(run({"_update"}).out, "Package path must be specified.\n");
}

} // namespace

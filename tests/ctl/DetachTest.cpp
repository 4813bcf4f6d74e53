// The built kbectl's _uninstall and _update as the daemon starts them: inside the daemon's
// unit on a machine run by systemd (a stand-in on a private system bus, which runs the
// units), and on a machine without systemd. Runs as root: both commands require it.

#include "ctl/KBECtlDetach.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/InstallationRoot.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/SystemdStandIn.h"
#include "tests/support/TempFolder.h"

#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace {

using testing::Contains;
using testing::ElementsAre;
using testing::IsEmpty;
using testsupport::ChildProcess;

std::vector<std::string> linesOf(const std::filesystem::path& file) {
    std::vector<std::string> lines;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

class DetachTest : public testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "_update and _uninstall require root";
        }
        if (!bus.ready()) {
            GTEST_SKIP() << "dbus-daemon cannot be started here (install the dbus package)";
        }
        ASSERT_TRUE(systemd.ready());
        testsupport::useAsInstallationRoot(root.path());
        ::setenv("KEELBROOK_PLATFORM", "simulated", 1);
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().c_str(), 1);
        // Each tool records the marker it ran with (one line per run) and exits with the
        // status in "<tool>.status".
        for (const char* product : {"/Library/Keelbrook/uninstall.sh", "/usr/sbin/installer"}) {
            const auto tool = testsupport::locationIn(root.path(), product);
            std::filesystem::create_directories(tool.parent_path());
            std::ofstream(tool) << "#!/bin/sh\n"
                                   "echo \"unit=$KEELBROOK_DETACHED_UNIT\" >> \"$0.runs\"\n"
                                   "exit \"$(cat \"$0.status\" 2>/dev/null || echo 0)\"\n";
            ::chmod(tool.c_str(), 0755);
        }
    }

    // As systemd would show the daemon's unit to its children.
    void insideTheDaemonsUnit() {
        std::filesystem::create_directories(
            testsupport::locationIn(root.path(), "/run/systemd/system"));
        const auto cgroup = testsupport::locationIn(root.path(), "/proc/self/cgroup");
        std::filesystem::create_directories(cgroup.parent_path());
        std::ofstream(cgroup) << "0::/system.slice/" << KBECtlDaemonUnit << "\n";
    }

    std::filesystem::path tool(const char* product) {
        return testsupport::locationIn(root.path(), product);
    }
    std::vector<std::string> runs(const char* product) {
        return linesOf(tool(product).string() + ".runs");
    }
    void exitWith(const char* product, int status) {
        std::ofstream(tool(product).string() + ".status") << status;
    }

    int kbectl(std::vector<std::string> args) {
        args.insert(args.begin(), KBECTL);
        ChildProcess child(args, ChildProcess::Errors::WithOutput);
        std::string output;
        child.readAll(&output);
        const auto status = child.wait();
        return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
    }

    testsupport::TempFolder root;
    testsupport::PrivateBus bus;
    testsupport::SystemdStandIn systemd{bus.address()};
};

TEST_F(DetachTest, InsideTheDaemonsUnitTheUninstallRunsInAUnitOfItsOwnAndItsStatusComesBack) {
    insideTheDaemonsUnit();
    EXPECT_EQ(kbectl({"_uninstall"}), 0);
    const auto starts = systemd.starts();
    ASSERT_EQ(starts.size(), 1u) << "the process in the unit does not start another";
    const auto& start = starts[0];
    EXPECT_THAT(start.name, testing::MatchesRegex("keelbrook-uninstall-[0-9]+\\.service"));
    EXPECT_EQ(start.execPath, std::filesystem::canonical(KBECTL).string());
    EXPECT_THAT(start.execArguments, ElementsAre(start.execPath, "_uninstall"));
    const auto& environment = start.lists.at("Environment");
    EXPECT_THAT(environment, Contains("KEELBROOK_ROOT=" + root.path().string()));
    EXPECT_THAT(environment, Contains("KEELBROOK_PLATFORM=simulated"));
    EXPECT_THAT(environment, Contains("DBUS_SYSTEM_BUS_ADDRESS=" + bus.address()));
    EXPECT_THAT(environment, Contains(std::string(KBECtlDetachedUnitVariable) + "=" + start.name));
    EXPECT_THAT(runs("/Library/Keelbrook/uninstall.sh"), ElementsAre("unit=" + start.name))
        << "the script runs once, in the unit";

    exitWith("/Library/Keelbrook/uninstall.sh", 4);
    EXPECT_EQ(kbectl({"_uninstall"}), 1) << "the failure reaches the daemon";
    EXPECT_EQ(systemd.starts().size(), 2u);
}

TEST_F(DetachTest, InsideTheDaemonsUnitAFailedUpdateStillDeletesThePackageAndFails) {
    insideTheDaemonsUnit();
    const auto package = root.path() / "Keelbrook.pkg";
    std::ofstream(package) << "package";
    exitWith("/usr/sbin/installer", 1);
    EXPECT_EQ(kbectl({"_update", package.string()}), 1);
    ASSERT_EQ(systemd.starts().size(), 1u);
    EXPECT_THAT(systemd.starts()[0].execArguments,
                ElementsAre(testing::_, "_update", package.string()));
    EXPECT_THAT(runs("/usr/sbin/installer"),
                ElementsAre(testing::StartsWith("unit=keelbrook-update-")));
    EXPECT_FALSE(std::filesystem::exists(package));
}

TEST_F(DetachTest, WithoutSystemdTheWorkRunsInANewSessionAndNoUnitIsAskedFor) {
    exitWith("/Library/Keelbrook/uninstall.sh", 0);
    EXPECT_EQ(kbectl({"_uninstall"}), 0);
    exitWith("/Library/Keelbrook/uninstall.sh", 2);
    EXPECT_EQ(kbectl({"_uninstall"}), 1);
    EXPECT_THAT(systemd.starts(), IsEmpty());
    EXPECT_THAT(runs("/Library/Keelbrook/uninstall.sh"), ElementsAre("unit=", "unit="));
}

TEST(DetachChoice, OnlyTheDaemonsUnitUnderSystemdNeedsAUnitOfItsOwn) {
    const std::string daemon = std::string("0::/system.slice/") + KBECtlDaemonUnit + "\n";
    EXPECT_EQ(KBECtlChooseDetachment(false, true, daemon), KBECtlDetachment::Unit);
    EXPECT_EQ(KBECtlChooseDetachment(true, true, daemon), KBECtlDetachment::None);
    EXPECT_EQ(KBECtlChooseDetachment(false, false, daemon), KBECtlDetachment::Session);
    EXPECT_EQ(KBECtlChooseDetachment(false, true, "0::/user.slice/user-0.slice/session-4.scope"),
              KBECtlDetachment::Session);
    EXPECT_EQ(KBECtlChooseDetachment(false, true, "0::/system.slice/other.service"),
              KBECtlDetachment::Session);
}

} // namespace

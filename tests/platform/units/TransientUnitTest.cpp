// Transient services against a stand-in systemd on a private bus (runs on the real clock).

#include "platform/units/TransientUnit.h"

#include "tests/support/PrivateBus.h"
#include "tests/support/SystemdStandIn.h"
#include "tests/support/TempFolder.h"

#include <fstream>
#include <gmock/gmock.h>
#include <thread>

namespace {

using testing::ElementsAre;
using testsupport::SystemdStandIn;

class TransientUnitTest : public testing::Test {
protected:
    void SetUp() override {
        if (!bus.ready()) {
            GTEST_SKIP() << "dbus-daemon cannot be started here (install the dbus package)";
        }
        ASSERT_TRUE(systemd.ready());
    }

    units::TransientService shell(const std::string& script) {
        return {"keelbrook-test-" + std::to_string(++count) + ".service",
                "Keelbrook test",
                {"/bin/sh", "-c", script},
                {"OUT=" + (folder.path() / "out").string()}};
    }

    testsupport::PrivateBus bus;
    SystemdStandIn systemd{bus.address()};
    bus::Connection connection{bus::busAt(bus.address())};
    testsupport::TempFolder folder;
    int count = 0;
};

TEST_F(TransientUnitTest, TheUnitIsAOneshotCollectedServiceWithExactlyTheGivenEnvironment) {
    ::setenv("KEELBROOK_TEST_ONLY", "here", 1);
    std::string error;
    EXPECT_EQ(units::runTransientService(
                  connection, shell("echo \"$OUT|$HOME|$KEELBROOK_TEST_ONLY\" > \"$OUT\""), &error),
              0)
        << error;
    EXPECT_EQ(systemd.subscribed(), 1);
    const auto starts = systemd.starts();
    ASSERT_EQ(starts.size(), 1u);
    const auto& start = starts[0];
    EXPECT_EQ(start.name, "keelbrook-test-1.service");
    EXPECT_EQ(start.mode, "fail");
    EXPECT_EQ(start.texts.at("Type"), "oneshot");
    EXPECT_EQ(start.texts.at("CollectMode"), "inactive-or-failed");
    EXPECT_EQ(start.texts.at("Description"), "Keelbrook test");
    EXPECT_EQ(start.execPath, "/bin/sh");
    EXPECT_THAT(start.execArguments, ElementsAre("/bin/sh", "-c", testing::StartsWith("echo")));
    EXPECT_FALSE(start.execIgnoresFailure);
    EXPECT_EQ(start.otherProperties, 0);
    // The command saw the unit's environment and nothing of this process's.
    std::ifstream out(folder.path() / "out");
    std::string line;
    std::getline(out, line);
    EXPECT_EQ(line, (folder.path() / "out").string() + "||");
}

TEST_F(TransientUnitTest, TheCommandsExitStatusComesBackAndAKilledOneGivesOne) {
    std::string error;
    EXPECT_EQ(units::runTransientService(connection, shell("exit 3"), &error), 3);
    EXPECT_EQ(units::runTransientService(connection, shell("kill -9 $$"), &error), 1);
    // Without the unit's change signal, and with the unit already collected, a failure is 1.
    systemd.omitPropertiesSignal();
    EXPECT_EQ(units::runTransientService(connection, shell("exit 3"), &error), 1);
    EXPECT_EQ(units::runTransientService(connection, shell("exit 0"), &error), 0);
}

TEST_F(TransientUnitTest, ARefusedUnitAndABusThatGoesAwayAreErrors) {
    systemd.refuseNextStart();
    std::string error;
    EXPECT_EQ(units::runTransientService(connection, shell("exit 0"), &error), std::nullopt);
    EXPECT_THAT(error, testing::HasSubstr("already loaded"));

    std::optional<int> status = 0;
    std::string waitError;
    std::thread waiter([&] {
        status = units::runTransientService(connection, shell("exec sleep 30"), &waitError);
    });
    // The bus goes away whether or not the command started, so that the call ends.
    const bool started = systemd.waitForCommands(1) && systemd.running();
    bus.stop();
    waiter.join();
    ASSERT_TRUE(started) << "the unit's command did not start";
    EXPECT_EQ(status, std::nullopt);
    EXPECT_THAT(waitError, testing::HasSubstr("went away"));
}

TEST(TransientUnitNames, ObjectPathsAndControlGroups) {
    EXPECT_EQ(units::unitObjectPath("keelbrook-update-12.service"),
              "/org/freedesktop/systemd1/unit/keelbrook_2dupdate_2d12_2eservice");
    EXPECT_EQ(units::unitObjectPath("1a"), "/org/freedesktop/systemd1/unit/_31a");
    EXPECT_EQ(units::unitOfControlGroup("12:pids:/x\n0::/system.slice/"
                                        "com.vornhal.keelbrook.scheduler.service\n"),
              "com.vornhal.keelbrook.scheduler.service");
    EXPECT_EQ(units::unitOfControlGroup("0::/user.slice/user-1000.slice/session-3.scope"),
              "session-3.scope");
    EXPECT_EQ(units::unitOfControlGroup("1:name=systemd:/system.slice/a.service\n"), "");
    EXPECT_EQ(units::unitOfControlGroup(""), "");
}

} // namespace

// The kbesim tool run as a program against the simulated machine of the test's root.

#include "platform/dispatch/Queue.h"
#include "platform/machine-sim/SimulatedFiles.h"
#include "platform/machine-sim/SimulatedSources.h"
#include "tests/platform/machine/MachineTestSupport.h"
#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

namespace {

using namespace machine;

// Runs kbesim with `args`: its standard output and exit status, bounded in time.
testsupport::ChildRun kbesim(std::vector<std::string> args) {
    args.insert(args.begin(), KBESIM);
    return testsupport::runChild(args, testsupport::ChildProcess::Errors::Discard);
}

class KbesimTest : public testing::Test {
protected:
    machinetest::TempRoot root;
};

TEST_F(KbesimTest, BadArgumentsGetTheUsageAndStatusOne) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {},
             {"set", "power-source"},
             {"set", "power-source", "solar"},
             {"set", "mood", "happy"},
             {"sleep", "soon"},
             {"wake", "halfway"},
             {"hold", "add", "PreventUserIdleSystemSleep", "256", "x", "12"},
             {"hold", "add", "PreventUserIdleSystemSleep", "255", "x", "12abc"},
             {"hold", "remove", "x"},
             {"holds", "extra"}}) {
        EXPECT_EQ(kbesim(args).exitStatus, 1) << testing::PrintToString(args);
    }
}

TEST_F(KbesimTest, StatesAreSetByName) {
    EXPECT_EQ(kbesim({"set", "power-source", "battery"}).exitStatus, 0);
    EXPECT_EQ(kbesim({"set", "user-activity", "passive"}).exitStatus, 0);
    EXPECT_EQ(kbesim({"set", "system-load", "OK"}).exitStatus, 0);
    EXPECT_EQ(kbesim({"set", "network-type", "wifi"}).exitStatus, 0);
    EXPECT_EQ(sim::readState<PowerSource>(), PowerSource::Battery);
    EXPECT_EQ(sim::readState<UserActivity>(), UserActivity::Passive);
    EXPECT_EQ(sim::readState<SystemLoad>(), SystemLoad::OK);
    EXPECT_EQ(sim::readState<NetworkType>(), NetworkType::WiFi);
}

TEST_F(KbesimTest, HoldsAreAddedListedAndRemoved) {
    EXPECT_EQ(
        kbesim({"hold", "add", "PreventUserIdleSystemSleep", "255", "Playing video", "4242", "mpv"})
            .exitStatus,
        0);
    EXPECT_EQ(kbesim({"holds"}).output,
              "4242\tmpv\tPreventUserIdleSystemSleep\t255\tPlaying video\n");
    EXPECT_EQ(kbesim({"hold", "remove", "Playing video", "4241"}).exitStatus, 2);
    EXPECT_EQ(kbesim({"hold", "remove", "Playing video", "4242"}).exitStatus, 0);
    EXPECT_EQ(kbesim({"holds"}).output, "");
}

TEST_F(KbesimTest, SleepPrintsTheWakeRequestTheMachineWasAnsweredWith) {
    auto sources = createSimulatedSources({});
    auto queue = dispatch::SerialQueue::create("com.vornhal.test.kbesim");
    std::string error;
    // A process that answers every sleep with a wake request at 07:30.
    auto* state = sources.powerState.get();
    ASSERT_TRUE(state->start(
        queue,
        [state](unsigned capabilities) {
            if (capabilities == kSleepAnnouncement) {
                state->acknowledge(
                    WakeRequest{cal::dateFromUnixTime(1796715000.0), "com.vornhal.backup"});
            }
        },
        &error))
        << error;
    const testsupport::ChildRun slept = kbesim({"sleep", "20"});
    EXPECT_EQ(slept.exitStatus, 0);
    EXPECT_EQ(slept.output,
              "Wake request: 2026-12-08 07:30:00 +0000, reason: com.vornhal.backup\n");
    EXPECT_EQ(kbesim({"wake", "dark"}).exitStatus, 0);
    EXPECT_EQ(state->currentCapabilities(), kDarkWakeWithBackgroundTasks);
    state->stop();
}

TEST_F(KbesimTest, AssertionsOfRunningProcessesAreListed) {
    auto assertions = createSimulatedPowerAssertions();
    std::string error;
    const auto id = assertions->create(kPreventUserIdleSystemSleep, "com.vornhal.backup",
                                       "Delay sleep to run activity.", &error);
    ASSERT_NE(id, 0u) << error;
    const testsupport::ChildRun listed = kbesim({"assertions"});
    EXPECT_EQ(listed.exitStatus, 0);
    EXPECT_NE(listed.output.find(std::to_string(::getpid()) + "\t"), std::string::npos);
    EXPECT_NE(listed.output.find("\t" + std::to_string(id) +
                                 "\tPreventUserIdleSystemSleep\tcom.vornhal.backup\t"
                                 "Delay sleep to run activity.\n"),
              std::string::npos);
    assertions->release(id);
    EXPECT_EQ(kbesim({"assertions"}).output, "");
}

} // namespace

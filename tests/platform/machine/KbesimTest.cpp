// The kbesim tool run as a program against the simulated machine of the test's root.

#include "platform/dispatch/Queue.h"
#include "platform/machine-sim/SimulatedFiles.h"
#include "platform/machine-sim/SimulatedSources.h"
#include "tests/platform/machine/MachineTestSupport.h"

#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace {

using namespace machine;

struct ToolRun {
    int status = -1;
    std::string out;
};

// Runs kbesim with `args` and collects its standard output and exit status.
ToolRun kbesim(std::vector<std::string> args) {
    args.insert(args.begin(), KBESIM);
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    int out[2];
    ToolRun run;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, KBESIM, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    char buffer[4096];
    for (ssize_t n; spawned == 0 && (n = ::read(out[0], buffer, sizeof buffer)) > 0;) {
        run.out.append(buffer, static_cast<size_t>(n));
    }
    ::close(out[0]);
    int status = 0;
    if (spawned == 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        run.status = WEXITSTATUS(status);
    }
    return run;
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
        EXPECT_EQ(kbesim(args).status, 1) << testing::PrintToString(args);
    }
}

TEST_F(KbesimTest, StatesAreSetByName) {
    EXPECT_EQ(kbesim({"set", "power-source", "battery"}).status, 0);
    EXPECT_EQ(kbesim({"set", "user-activity", "passive"}).status, 0);
    EXPECT_EQ(kbesim({"set", "system-load", "OK"}).status, 0);
    EXPECT_EQ(kbesim({"set", "network-type", "wifi"}).status, 0);
    EXPECT_EQ(sim::readState<PowerSource>(), PowerSource::Battery);
    EXPECT_EQ(sim::readState<UserActivity>(), UserActivity::Passive);
    EXPECT_EQ(sim::readState<SystemLoad>(), SystemLoad::OK);
    EXPECT_EQ(sim::readState<NetworkType>(), NetworkType::WiFi);
}

TEST_F(KbesimTest, HoldsAreAddedListedAndRemoved) {
    EXPECT_EQ(
        kbesim({"hold", "add", "PreventUserIdleSystemSleep", "255", "Playing video", "4242", "mpv"})
            .status,
        0);
    EXPECT_EQ(kbesim({"holds"}).out, "4242\tmpv\tPreventUserIdleSystemSleep\t255\tPlaying video\n");
    EXPECT_EQ(kbesim({"hold", "remove", "Playing video", "4241"}).status, 2);
    EXPECT_EQ(kbesim({"hold", "remove", "Playing video", "4242"}).status, 0);
    EXPECT_EQ(kbesim({"holds"}).out, "");
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
    const ToolRun slept = kbesim({"sleep", "20"});
    EXPECT_EQ(slept.status, 0);
    EXPECT_EQ(slept.out, "Wake request: 2026-12-08 07:30:00 +0000, reason: com.vornhal.backup\n");
    EXPECT_EQ(kbesim({"wake", "dark"}).status, 0);
    EXPECT_EQ(state->currentCapabilities(), kDarkWakeWithBackgroundTasks);
    state->stop();
}

TEST_F(KbesimTest, AssertionsOfRunningProcessesAreListed) {
    auto assertions = createSimulatedPowerAssertions();
    std::string error;
    const auto id = assertions->create(kPreventUserIdleSystemSleep, "com.vornhal.backup",
                                       "Delay sleep to run activity.", &error);
    ASSERT_NE(id, 0u) << error;
    const ToolRun listed = kbesim({"assertions"});
    EXPECT_EQ(listed.status, 0);
    EXPECT_NE(listed.out.find(std::to_string(::getpid()) + "\t"), std::string::npos);
    EXPECT_NE(listed.out.find("\t" + std::to_string(id) +
                              "\tPreventUserIdleSystemSleep\tcom.vornhal.backup\t"
                              "Delay sleep to run activity.\n"),
              std::string::npos);
    assertions->release(id);
    EXPECT_EQ(kbesim({"assertions"}).out, "");
}

} // namespace

#include "platform/machine-sim/SimulatedSources.h"

#include "platform/dispatch/Queue.h"
#include "platform/dispatch/VirtualClock.h"
#include "platform/machine-sim/SimulatedFiles.h"
#include "platform/machine-sim/SimulatedMachine.h"
#include "tests/platform/machine/MachineTestSupport.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using namespace machine;

dispatch::VirtualClock& clock() {
    return dispatch::VirtualClock::install();
}

class SimulatedSourcesTest : public testing::Test {
protected:
    void set(const char* state, const char* value) {
        std::string error;
        ASSERT_TRUE(control.setState(state, value, &error)) << error;
    }

    machinetest::TempRoot root;
    sim::SimulatedMachine control;
    Sources sources = createSimulatedSources({});
    dispatch::QueuePtr queue = dispatch::SerialQueue::create("com.vornhal.test.machine-sim");
    std::string error;
};

TEST_F(SimulatedSourcesTest, EveryStateStartsAtItsFirstValue) {
    EXPECT_EQ(sources.userActivity->current(), UserActivity::Idle);
    EXPECT_EQ(sources.systemLoad->current(), SystemLoad::Great);
    EXPECT_EQ(sources.thermal->current(), ThermalLevel::Nominal);
    EXPECT_TRUE(sources.thermal->available());
    EXPECT_EQ(sources.powerSource->current(), PowerSource::AC);
    EXPECT_EQ(sources.networkType->current(), NetworkType::Unknown);
    EXPECT_EQ(sources.powerState->currentCapabilities(), kFullWake);
    std::vector<SleepHold> holds{SleepHold{}};
    EXPECT_TRUE(sources.sleepPreventers->copyHolds(&holds, &error)) << error;
    EXPECT_TRUE(holds.empty());
}

TEST_F(SimulatedSourcesTest, StateFilesAreFollowedWhileStarted) {
    machinetest::Recorder<PowerSource> power;
    machinetest::Recorder<UserActivity> activity;
    ASSERT_TRUE(sources.powerSource->start(queue, power.handler(), &error)) << error;
    ASSERT_TRUE(sources.userActivity->start(queue, activity.handler(), &error)) << error;

    set("power-source", "battery");
    set("user-activity", "passive");
    clock().drain();
    EXPECT_EQ(power.values(), std::vector<PowerSource>{PowerSource::Battery});
    EXPECT_EQ(activity.values(), std::vector<UserActivity>{UserActivity::Passive});
    EXPECT_EQ(sources.powerSource->current(), PowerSource::Battery);

    // Another state's file does not wake this source.
    set("system-load", "bad");
    clock().drain();
    EXPECT_EQ(power.values().size(), 1u);
    EXPECT_EQ(sources.systemLoad->current(), SystemLoad::Bad);

    sources.powerSource->stop();
    set("power-source", "ac");
    clock().drain();
    EXPECT_EQ(power.values().size(), 1u);

    // A file that is no property list reads as the first value.
    root.write(std::string("run/keelbrook/simulated/") + sim::stateFile<UserActivity>(), "garbage");
    clock().drain();
    EXPECT_EQ(activity.values().back(), UserActivity::Idle);
    sources.userActivity->stop();
}

TEST_F(SimulatedSourcesTest, OlderSystemsSeeAPassiveUserAsActive) {
    SourceOptions options;
    options.passiveUserActivity = false;
    auto older = createSimulatedSources(options);
    set("user-activity", "passive");
    EXPECT_EQ(older.userActivity->current(), UserActivity::Active);
    machinetest::Recorder<UserActivity> seen;
    ASSERT_TRUE(older.userActivity->start(queue, seen.handler(), &error)) << error;
    set("user-activity", "idle");
    set("user-activity", "passive");
    clock().drain();
    ASSERT_FALSE(seen.values().empty());
    EXPECT_EQ(seen.values().back(), UserActivity::Active);
    older.userActivity->stop();
}

TEST_F(SimulatedSourcesTest, NetworkTypeReportsItsFirstReadingAfterStart) {
    set("network-type", "wired");
    machinetest::Recorder<NetworkType> seen;
    ASSERT_TRUE(sources.networkType->start(queue, seen.handler(), &error)) << error;
    clock().drain();
    EXPECT_EQ(seen.values(), std::vector<NetworkType>{NetworkType::Wired});
    set("network-type", "wifi");
    clock().drain();
    EXPECT_EQ(seen.values().back(), NetworkType::WiFi);
    sources.networkType->stop();
}

TEST_F(SimulatedSourcesTest, ThermalCanBeUnavailable) {
    set("thermal", "unavailable");
    EXPECT_FALSE(sources.thermal->available());
    set("thermal", "heavy");
    EXPECT_TRUE(sources.thermal->available());
    EXPECT_EQ(sources.thermal->current(), ThermalLevel::Heavy);
}

TEST_F(SimulatedSourcesTest, SleepIsAnnouncedAndAnsweredWithTheWakeRequest) {
    machinetest::Recorder<unsigned> seen;
    ASSERT_TRUE(sources.powerState->start(queue, seen.handler(), &error)) << error;

    const auto event = control.announce(kSleepAnnouncement, &error);
    ASSERT_TRUE(event) << error;
    clock().drain();
    EXPECT_EQ(seen.values(), std::vector<unsigned>{kSleepAnnouncement});
    EXPECT_EQ(sources.powerState->currentCapabilities(), kSleepAnnouncement);
    const WakeRequest request{cal::dateFromUnixTime(1796716800.0), "com.vornhal.backup"};
    sources.powerState->acknowledge(request);
    auto answer = control.waitForSleepAnswer(*event, 0ms, &error);
    ASSERT_TRUE(answer) << error;
    EXPECT_EQ(answer->wakeRequest, request);

    // A dark wake, a full wake, then a sleep answered without a request. Every event is
    // reported, even one with the same bits as the last.
    ASSERT_TRUE(control.announce(kDarkWakeWithBackgroundTasks, &error));
    ASSERT_TRUE(control.announce(kFullWake, &error));
    clock().drain();
    ASSERT_TRUE(control.announce(kFullWake, &error));
    clock().drain();
    const auto second = control.announce(kSleepAnnouncement, &error);
    clock().drain();
    sources.powerState->acknowledge(std::nullopt);
    answer = control.waitForSleepAnswer(*second, 0ms, &error);
    ASSERT_TRUE(answer) << error;
    EXPECT_EQ(answer->wakeRequest, std::nullopt);
    const auto values = seen.values();
    ASSERT_GE(values.size(), 4u);
    EXPECT_EQ(values.back(), kSleepAnnouncement);
    EXPECT_EQ(values[values.size() - 2], kFullWake);
    EXPECT_EQ(values[values.size() - 3], kFullWake);
    sources.powerState->stop();
}

TEST_F(SimulatedSourcesTest, AnAnswerToAnEarlierSleepDoesNotAnswerTheNext) {
    const auto first = control.announce(kSleepAnnouncement, &error);
    ASSERT_TRUE(first);
    EXPECT_FALSE(control.waitForSleepAnswer(*first, 0ms, &error));
    EXPECT_EQ(error, "no answer to the sleep announcement");
    ASSERT_TRUE(sources.powerState->start(
        queue, [](unsigned) {}, &error))
        << error;
    const auto second = control.announce(kSleepAnnouncement, &error);
    clock().drain();
    sources.powerState->acknowledge(std::nullopt);
    EXPECT_FALSE(control.waitForSleepAnswer(*first, 0ms, &error));
    EXPECT_TRUE(control.waitForSleepAnswer(*second, 0ms, &error));
    sources.powerState->stop();
}

TEST_F(SimulatedSourcesTest, OtherProcessesHoldsAreAddedListedAndRemoved) {
    const SleepHold video{kPreventUserIdleSystemSleep, 255, "Playing video", 4242, "mpv"};
    const SleepHold music{kPreventUserIdleSystemSleep, 255, "Playing music", 77, "Music"};
    ASSERT_TRUE(control.addHold(video, &error)) << error;
    ASSERT_TRUE(control.addHold(music, &error)) << error;
    std::vector<SleepHold> holds;
    ASSERT_TRUE(sources.sleepPreventers->copyHolds(&holds, &error)) << error;
    EXPECT_EQ(holds, (std::vector<SleepHold>{video, music}));

    EXPECT_FALSE(control.removeHold("Playing video", 4243, &error));
    ASSERT_TRUE(control.removeHold("Playing video", 4242, &error)) << error;
    ASSERT_TRUE(sources.sleepPreventers->copyHolds(&holds, &error)) << error;
    EXPECT_EQ(holds, std::vector<SleepHold>{music});

    root.write("run/keelbrook/simulated/sleep-holds.plist", "not a property list");
    EXPECT_FALSE(sources.sleepPreventers->copyHolds(&holds, &error));
    EXPECT_NE(error.find("sleep-holds.plist"), std::string::npos);
}

TEST_F(SimulatedSourcesTest, PowerAssertionsAreRecordedWhileHeld) {
    auto assertions = createSimulatedPowerAssertions();
    EXPECT_EQ(assertions->create("NoSuchType", "x", "y", &error), 0u);
    const auto first = assertions->create(kPreventUserIdleSystemSleep, "com.vornhal.backup",
                                          "Delay sleep to run activity.", &error);
    const auto second =
        assertions->create(kBackgroundTask, "com.vornhal.update", "Installing.", &error);
    ASSERT_NE(first, 0u);
    ASSERT_NE(second, 0u);
    EXPECT_NE(first, second);

    auto held = control.heldAssertions(&error);
    ASSERT_TRUE(held) << error;
    ASSERT_EQ(held->size(), 2u);
    EXPECT_EQ((*held)[0].pid, ::getpid());
    EXPECT_EQ((*held)[0].id, first);
    EXPECT_EQ((*held)[0].type, kPreventUserIdleSystemSleep);
    EXPECT_EQ((*held)[0].name, "com.vornhal.backup");
    EXPECT_EQ((*held)[0].details, "Delay sleep to run activity.");
    EXPECT_EQ((*held)[1].type, kBackgroundTask);

    assertions->release(first);
    assertions->release(first); // twice: ignored
    held = control.heldAssertions(&error);
    ASSERT_TRUE(held);
    ASSERT_EQ(held->size(), 1u);
    EXPECT_EQ((*held)[0].id, second);
    assertions->release(second);
    EXPECT_TRUE(control.heldAssertions(&error)->empty());
    EXPECT_FALSE(std::filesystem::exists(sim::assertionsFolder() + "/" +
                                         std::to_string(::getpid()) + ".plist"));

    // A record left by a process that has ended is not listed.
    std::string ignored;
    ASSERT_TRUE(sim::writeFile(sim::assertionsFolder() + "/999999999.plist",
                               plist::Dictionary{{"Assertions", plist::Array{}}}, &ignored));
    EXPECT_TRUE(control.heldAssertions(&error)->empty());
}

TEST_F(SimulatedSourcesTest, StateFilesAreNeverReadOrWrittenThroughALink) {
    const std::string file = sim::filePath(sim::kSleepHoldsFile);
    const auto elsewhere = root.path() / "elsewhere.plist";
    root.write("elsewhere.plist", "precious");
    std::filesystem::create_directories(sim::folder());
    std::filesystem::create_symlink(elsewhere, file);

    bool missing = true;
    EXPECT_FALSE(sim::readDictionary(file, &error, &missing));
    EXPECT_FALSE(missing); // a link is not a missing file: holds read through it would lie
    std::vector<SleepHold> holds;
    EXPECT_FALSE(sources.sleepPreventers->copyHolds(&holds, &error));

    ASSERT_TRUE(sim::writeFile(file, plist::Dictionary{{"Holds", plist::Array{}}}, &error))
        << error;
    EXPECT_FALSE(std::filesystem::is_symlink(file));
    EXPECT_TRUE(sources.sleepPreventers->copyHolds(&holds, &error)) << error;
    std::ifstream in(elsewhere);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "precious");

    // An oversized file is refused rather than read.
    std::filesystem::resize_file(file, sim::kMaxFileSize + 1);
    EXPECT_FALSE(sim::readDictionary(file, &error, &missing));
    EXPECT_NE(error.find("is larger than"), std::string::npos) << error;
    EXPECT_FALSE(missing);
}

} // namespace

// The system events manager on the simulated machine (files under a temporary
// KEELBROOK_ROOT, watched with inotify) and the virtual clock. A few sources are wrapped
// or replaced to count what the manager asks of them or to report late events.
#include "common/VRNLog.h"
#include "common/VRNQueue.h"
#include "platform/dispatch/VirtualClock.h"
#include "platform/machine-sim/SimulatedFiles.h"
#include "platform/machine-sim/SimulatedMachine.h"
#include "platform/machine-sim/SimulatedSources.h"
#include "scheduler/events/VRNSystemEventsManager.h"
#include "tests/common/LogTestSupport.h"
#include "tests/support/TestEnvironment.h"

#include <atomic>
#include <deque>
#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using machine::sim::SimulatedMachine;
using testing::Contains;
using testing::ElementsAre;
using testing::IsEmpty;
using testing::Not;

dispatch::VirtualClock& clock() {
    return dispatch::VirtualClock::install();
}

// The power state source of the simulated machine, recording each acknowledgement.
class RecordingPowerState final : public machine::PowerStateSource {
public:
    explicit RecordingPowerState(std::unique_ptr<machine::PowerStateSource> inner)
        : inner_(std::move(inner)) {}

    bool start(const dispatch::QueuePtr& queue, Handler changed, std::string* error) override {
        return inner_->start(queue, std::move(changed), error);
    }
    void stop() override { inner_->stop(); }
    unsigned currentCapabilities() override { return inner_->currentCapabilities(); }
    void acknowledge(const std::optional<machine::WakeRequest>& request) override {
        {
            std::lock_guard guard(mutex_);
            acknowledgements_.push_back(request);
        }
        inner_->acknowledge(request);
    }
    std::vector<std::optional<machine::WakeRequest>> acknowledgements() {
        std::lock_guard guard(mutex_);
        return acknowledgements_;
    }

private:
    const std::unique_ptr<machine::PowerStateSource> inner_;
    std::mutex mutex_;
    std::vector<std::optional<machine::WakeRequest>> acknowledgements_;
};

// The simulated machine's sleep preventers, counting the reads.
class CountingSleepPreventers final : public machine::SleepPreventerSource {
public:
    explicit CountingSleepPreventers(std::unique_ptr<machine::SleepPreventerSource> inner)
        : inner_(std::move(inner)) {}
    bool copyHolds(std::vector<machine::SleepHold>* holds, std::string* error) override {
        ++reads;
        return inner_->copyHolds(holds, error);
    }
    std::atomic<int> reads{0};

private:
    const std::unique_ptr<machine::SleepPreventerSource> inner_;
};

// A power source the test drives by hand: it can refuse its registration, and it can
// deliver a reading after stop(), as a late platform event would.
class ManualPowerSource final : public machine::PowerSourceSource {
public:
    bool start(const dispatch::QueuePtr& queue, Handler changed, std::string* error) override {
        ++starts;
        if (refuse) {
            *error = "refused";
            return false;
        }
        queue_ = queue;
        changed_ = std::move(changed);
        return true;
    }
    void stop() override { ++stops; }
    machine::PowerSource current() override { return value; }
    void report(machine::PowerSource state) {
        value = state;
        queue_->async([changed = changed_, state] { changed(state); });
    }

    bool refuse = false;
    int starts = 0;
    int stops = 0;
    machine::PowerSource value = machine::PowerSource::AC;

private:
    dispatch::QueuePtr queue_;
    Handler changed_;
};

// Runs its items only when the test says so.
class ManualQueue final : public dispatch::Queue {
public:
    void async(dispatch::Work work) override {
        std::lock_guard guard(mutex_);
        items_.push_back(std::move(work));
    }
    const std::string& label() const override { return label_; }
    bool isSerial() const override { return true; }
    void runAll() {
        for (;;) {
            dispatch::Work work;
            {
                std::lock_guard guard(mutex_);
                if (items_.empty()) {
                    return;
                }
                work = std::move(items_.front());
                items_.pop_front();
            }
            work();
        }
    }

private:
    const std::string label_ = "test.manual";
    std::mutex mutex_;
    std::deque<dispatch::Work> items_;
};

class SystemEventsManagerTest : public testing::Test {
protected:
    static void SetUpTestSuite() { logtest::useTemporaryRoot(); }

    void SetUp() override {
        std::error_code ignored;
        std::filesystem::remove_all(machine::sim::folder(), ignored);
        VRNLOG_UNIFIED = true;
        clock().drain();
        logtest::recorder().take();
    }

    void TearDown() override {
        clock().drain();
        manager_.reset();
        clock().drain();
    }

    // The manager on the simulated machine, created on first use so that a test can
    // prepare the machine's files or replace a source first.
    VRNSystemEventsManager& manager() {
        if (!manager_) {
            auto sources = machine::createSimulatedSources({});
            auto powerState = std::make_unique<RecordingPowerState>(std::move(sources.powerState));
            powerState_ = powerState.get();
            sources.powerState = std::move(powerState);
            auto preventers =
                std::make_unique<CountingSleepPreventers>(std::move(sources.sleepPreventers));
            preventers_ = preventers.get();
            sources.sleepPreventers = std::move(preventers);
            if (manualPowerSource_) {
                sources.powerSource = std::move(manualPowerSource_);
            }
            manager_ = std::make_unique<VRNSystemEventsManager>(testsupport::environment(),
                                                                std::move(sources), ::getpid());
        }
        return *manager_;
    }

    // Replaces the power source with one the test drives; call before manager().
    ManualPowerSource& useManualPowerSource() {
        manualPowerSource_ = std::make_unique<ManualPowerSource>();
        ManualPowerSource* source = manualPowerSource_.get();
        manager();
        return *source;
    }

    static void set(const char* state, const char* value) {
        std::string error;
        ASSERT_TRUE(SimulatedMachine().setState(state, value, &error)) << error;
        clock().drain();
    }
    static void announce(unsigned capabilities) {
        std::string error;
        ASSERT_TRUE(SimulatedMachine().announce(capabilities, &error)) << error;
        clock().drain();
    }
    static void addHold(const char* processName, pid_t pid, int level, const char* name,
                        const char* type = machine::kPreventUserIdleSystemSleep) {
        std::string error;
        ASSERT_TRUE(SimulatedMachine().addHold({type, level, name, pid, processName}, &error))
            << error;
    }

    // The messages logged since the last call.
    static std::vector<std::string> logged() {
        std::vector<std::string> messages;
        for (const auto& entry : logtest::recorder().take()) {
            messages.push_back(entry.message);
        }
        return messages;
    }

    std::unique_ptr<VRNSystemEventsManager> manager_;
    RecordingPowerState* powerState_ = nullptr;
    CountingSleepPreventers* preventers_ = nullptr;
    std::unique_ptr<ManualPowerSource> manualPowerSource_;
};

// Records which event sets a handler received.
struct Received {
    std::mutex mutex;
    std::vector<unsigned> sets;
    void add(unsigned set) {
        std::lock_guard guard(mutex);
        sets.push_back(set);
    }
    std::vector<unsigned> take() {
        std::lock_guard guard(mutex);
        return std::exchange(sets, {});
    }
};

TEST_F(SystemEventsManagerTest, GettersRegisterTheirSourceOnFirstUseAndFollowItFromThen) {
    set("power-source", "battery");
    set("user-activity", "passive");
    manager();
    EXPECT_THAT(logged(), IsEmpty()) << "nothing is watched before it is asked for";

    EXPECT_EQ(manager().powerSource(), machine::PowerSource::Battery);
    EXPECT_EQ(manager().powerSource(), machine::PowerSource::Battery);
    EXPECT_THAT(logged(), ElementsAre("Power Source: battery."));

    set("power-source", "AC");
    set("user-activity", "active"); // not registered: not followed
    EXPECT_THAT(logged(), ElementsAre("Power Source: AC."));
    EXPECT_EQ(manager().powerSource(), machine::PowerSource::AC);

    EXPECT_EQ(manager().userActivity(), machine::UserActivity::Active);
    EXPECT_THAT(logged(), ElementsAre("User Activity: active."));
}

TEST_F(SystemEventsManagerTest, SubscribingRegistersEachSourceAndLogsItsStateInBitOrder) {
    set("system-load", "bad");
    set("thermal", "moderate");
    set("network-type", "wired");
    Received received;
    manager().addObserverForEventSet(0x7F, nullptr, [&](unsigned set) { received.add(set); });
    clock().drain();

    EXPECT_THAT(logged(),
                ElementsAre("User Activity: idle.", "Advisory: bad.", "Thermal: moderate.",
                            "Power Source: AC.", "New capability bits: 1f",
                            "Power State: full wake.", "Network Type: wired."));
    // The network type's first reading arrives as a change.
    EXPECT_THAT(received.take(), ElementsAre(0x40u));
    EXPECT_EQ(manager().networkType(), machine::NetworkType::Wired);
    EXPECT_EQ(manager().systemLoad(), machine::SystemLoad::Bad);
    EXPECT_EQ(manager().thermalLevel(), machine::ThermalLevel::Moderate);
}

TEST_F(SystemEventsManagerTest, StateLinesAreDebugAndRegistrationFailuresAreErrors) {
    ManualPowerSource& source = useManualPowerSource();
    source.refuse = true;
    manager().userActivity();
    manager().powerSource();
    const auto entries = logtest::recorder().take();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].message, "User Activity: idle.");
    EXPECT_EQ(entries[0].priority, LOG_DEBUG);
    EXPECT_EQ(entries[1].message, "Failed to register power source notification.");
    EXPECT_EQ(entries[1].priority, LOG_ERR);

    // The failed bit stays registered: no retry, the state keeps its value.
    EXPECT_EQ(manager().powerSource(), machine::PowerSource::AC);
    manager().addObserverForEventSet(0x8, nullptr, [](unsigned) {});
    EXPECT_EQ(source.starts, 1);
    EXPECT_THAT(logged(), IsEmpty());
}

// Every bit registered at once: one line per state, in bit order, with its own format and
// texts; the network type's first reading comes through its handler; the sleep-preventer
// state is read only when asked. Changes log with the same formats.
TEST_F(SystemEventsManagerTest, EveryStateIsLoggedWithItsFormatInBitOrder) {
    set("user-activity", "passive");
    set("system-load", "bad");
    set("thermal", "heavy");
    set("power-source", "battery");
    set("network-type", "wifi");
    manager().addObserverForEventSet(0x7F, nullptr, [](unsigned) {});
    clock().drain();
    EXPECT_THAT(logged(),
                ElementsAre("User Activity: passive.", "Advisory: bad.", "Thermal: heavy.",
                            "Power Source: battery.", "New capability bits: 1f",
                            "Power State: full wake.", "Network Type: wifi."));

    set("user-activity", "idle");
    set("system-load", "OK");
    set("thermal", "moderate");
    set("power-source", "AC");
    set("network-type", "wired");
    announce(machine::kSleepAnnouncement);
    addHold("caffeinate", 4242, machine::kHoldLevelOn, "hold");
    EXPECT_EQ(manager().assertions(), machine::Assertions::SleepPrevented);
    EXPECT_THAT(logged(),
                ElementsAre("User Activity: idle.", "Advisory: OK.", "Thermal: moderate.",
                            "Power Source: AC.", "Network Type: wired.", "New capability bits: 0",
                            "Power State: sleep.", "Sleep prevented by caffeinate[4242].",
                            "Assertions: sleep prevented."));
}

TEST_F(SystemEventsManagerTest, ObserversHearOnlyTheirBitsWithOrWithoutAQueue) {
    auto queue = VRNQueueCreate("test.observer", VRNQueueMain());
    Received direct, queued;
    std::atomic<bool> directOnManagerQueue{false};
    manager().addObserverForEventSet(0x8 | 0x2, nullptr, [&](unsigned set) {
        directOnManagerQueue = VRNQueueMain()->isCurrent() && !queue->isCurrent();
        direct.add(set);
    });
    manager().addObserverForEventSet(0x1, queue, [&](unsigned set) {
        EXPECT_TRUE(queue->isCurrent());
        queued.add(set);
    });
    clock().drain();
    logged();

    set("power-source", "battery");
    set("user-activity", "active");
    set("system-load", "OK");
    set("system-load", "OK"); // rewritten unchanged: no change
    EXPECT_THAT(direct.take(), ElementsAre(0x8u, 0x2u));
    EXPECT_TRUE(directOnManagerQueue);
    EXPECT_THAT(queued.take(), ElementsAre(0x1u));
    EXPECT_THAT(logged(),
                ElementsAre("Power Source: battery.", "User Activity: active.", "Advisory: OK."));

    manager().notifyEventSet(0x9);
    clock().drain();
    EXPECT_THAT(direct.take(), ElementsAre(0x9u)) << "the handler gets the whole set";
    EXPECT_THAT(queued.take(), ElementsAre(0x9u));
}

TEST_F(SystemEventsManagerTest, HandlersRunOutsideTheLockSoTheyMayAskForStates) {
    addHold("caffeinate", 4242, machine::kHoldLevelOn, "hold");
    Received seen;
    manager().addObserverForEventSet(0x8, nullptr, [&](unsigned) {
        // Taking the manager's lock again on the same thread would abort the test.
        seen.add(static_cast<unsigned>(manager().powerSource()));
        seen.add(static_cast<unsigned>(manager().assertions()));
        seen.add(static_cast<unsigned>(manager().powerState()));
    });
    manager().addObserverForSleepEventWithQueue(
        nullptr, [&](std::optional<cal::Date>&, std::optional<std::string>&) {
            seen.add(static_cast<unsigned>(manager().powerState()));
        });
    set("power-source", "battery");
    EXPECT_THAT(seen.take(), ElementsAre(1u, 1u, 0u));
    announce(machine::kSleepAnnouncement);
    EXPECT_THAT(seen.take(), ElementsAre(2u));
}

TEST_F(SystemEventsManagerTest, AChangeReportedWhileItsBitIsNotRegisteredIsDropped) {
    ManualPowerSource& source = useManualPowerSource();
    Received received;
    auto observer =
        manager().addObserverForEventSet(0x8, nullptr, [&](unsigned set) { received.add(set); });
    source.report(machine::PowerSource::Battery);
    clock().drain();
    EXPECT_THAT(received.take(), ElementsAre(0x8u));
    manager().removeObserver(observer);
    EXPECT_EQ(source.stops, 1);
    logged();

    // A second observer of other bits sees whether anything is announced.
    manager().addObserverForEventSet(0x7F & ~0x8u, nullptr,
                                     [&](unsigned set) { received.add(set); });
    clock().drain();
    logged();
    received.take();
    source.report(machine::PowerSource::AC);
    clock().drain();
    EXPECT_THAT(received.take(), IsEmpty());
    EXPECT_THAT(logged(), IsEmpty());
}

TEST_F(SystemEventsManagerTest,
       CapabilityBitsGiveThePowerStateAndOnlyLeavingSleepOrDarkWakeIsAWake) {
    manager().addObserverForSleepEventWithQueue(nullptr, [](auto&, auto&) {});
    clock().drain();
    EXPECT_THAT(logged(), ElementsAre("New capability bits: 1f", "Power State: full wake."));

    announce(machine::kSleepAnnouncement);
    EXPECT_THAT(logged(), ElementsAre("New capability bits: 0", "Power State: sleep."));
    EXPECT_FALSE(manager().recentWake()) << "full wake to sleep is no wake";

    announce(machine::kDarkWake); // a dark wake without background tasks counts as sleep
    EXPECT_THAT(logged(), ElementsAre("New capability bits: 1"));
    EXPECT_EQ(manager().powerState(), machine::PowerState::Sleep);

    announce(machine::kDarkWakeWithBackgroundTasks);
    EXPECT_THAT(logged(), ElementsAre("New capability bits: 19", "Power State: dark wake.",
                                      "System did wake."));
    EXPECT_TRUE(manager().recentWake());
    clock().advance(12s);
    EXPECT_FALSE(manager().recentWake());

    announce(machine::kFullWake);
    EXPECT_THAT(logged(), ElementsAre("New capability bits: 1f", "Power State: full wake.",
                                      "System did wake."));
    EXPECT_TRUE(manager().recentWake());

    clock().advance(12s);
    announce(machine::kDarkWakeWithBackgroundTasks); // from full wake: no wake
    EXPECT_THAT(logged(), ElementsAre("New capability bits: 19", "Power State: dark wake."));
    EXPECT_FALSE(manager().recentWake());
}

TEST_F(SystemEventsManagerTest, ASecondWakeWithinTenSecondsRestartsTheRecentWakeWindow) {
    EXPECT_EQ(manager().powerState(), machine::PowerState::FullWake);
    announce(machine::kSleepAnnouncement);
    announce(machine::kDarkWakeWithBackgroundTasks);
    EXPECT_TRUE(manager().recentWake());
    clock().advance(6s);
    announce(machine::kFullWake);
    clock().advance(6s); // 12 s after the first wake, 6 s after the second
    EXPECT_TRUE(manager().recentWake());
    clock().advance(5s);
    EXPECT_FALSE(manager().recentWake());
}

TEST_F(SystemEventsManagerTest, SleepIsAcknowledgedOnceWithTheEarliestCompleteRequest) {
    constexpr cal::Date kMidnight = 818726400; // some day at 00:00 UTC
    auto queue = std::make_shared<ManualQueue>();
    manager().addObserverForSleepEventWithQueue(queue, [&](auto& date, auto& reason) {
        date = kMidnight + 8 * 3600.0;
        reason = "eight";
    });
    manager().addObserverForSleepEventWithQueue(nullptr, [&](auto& date, auto& reason) {
        date = kMidnight + 7.5 * 3600.0;
        reason = "half past seven";
    });
    manager().addObserverForSleepEventWithQueue(nullptr, [&](auto& date, auto&) {
        date = kMidnight + 6 * 3600.0; // no reason: ignored
    });
    clock().drain();

    announce(machine::kSleepAnnouncement);
    EXPECT_THAT(powerState_->acknowledgements(), IsEmpty()) << "a queued observer has not answered";
    queue->runAll();
    clock().drain();
    const machine::WakeRequest expected{kMidnight + 7.5 * 3600.0, "half past seven"};
    EXPECT_THAT(powerState_->acknowledgements(), ElementsAre(std::optional(expected)));

    // What the simulated machine received.
    std::string error;
    const auto answer = SimulatedMachine().waitForSleepAnswer(1, 0ms, &error);
    ASSERT_TRUE(answer) << error;
    EXPECT_EQ(answer->wakeRequest, expected);

    // Any other capability change is acknowledged at once, without a request.
    announce(machine::kFullWake);
    EXPECT_EQ(powerState_->acknowledgements().size(), 2u);
    EXPECT_EQ(powerState_->acknowledgements().back(), std::nullopt);
}

TEST_F(SystemEventsManagerTest, SleepWithoutRequestsIsAcknowledgedWithoutOne) {
    auto queue = std::make_shared<ManualQueue>();
    manager().addObserverForSleepEventWithQueue(queue,
                                                [](auto&, auto& reason) { reason = "no date"; });
    announce(machine::kSleepAnnouncement);
    queue->runAll();
    clock().drain();
    EXPECT_THAT(powerState_->acknowledgements(), ElementsAre(std::nullopt));
}

TEST_F(SystemEventsManagerTest, MediaPlaybackLowLevelAndOwnHoldsDoNotPreventSleep) {
    addHold("Music", 501, machine::kHoldLevelOn, "com.apple.Music.playback");
    addHold("iTunes", 502, machine::kHoldLevelOn, "com.apple.iTunes.playback");
    addHold("browser", 503, machine::kHoldLevelOn, "WebKit HTMLMediaElement playback");
    addHold("coreaudiod", 504, machine::kHoldLevelOn, "audio");
    addHold("player", 505, machine::kHoldLevelOff, "paused");
    addHold("worker", 506, machine::kHoldLevelOn, "busy", machine::kBackgroundTask);
    addHold("kbtest", ::getpid(), machine::kHoldLevelOn, "own");
    EXPECT_EQ(manager().assertions(), machine::Assertions::None);
    EXPECT_THAT(logged(), IsEmpty());

    addHold("caffeinate", 4242, machine::kHoldLevelOn, "keep awake");
    EXPECT_EQ(manager().assertions(), machine::Assertions::SleepPrevented);
    EXPECT_THAT(logged(), ElementsAre("Sleep prevented by caffeinate[4242].",
                                      "Assertions: sleep prevented."));
}

TEST_F(SystemEventsManagerTest, SleepPreventersArePolledEveryMinuteOnlyWhileOneIsPresent) {
    Received received;
    manager().addObserverForEventSet(0x20, nullptr, [&](unsigned set) { received.add(set); });
    EXPECT_EQ(manager().assertions(), machine::Assertions::None);
    const int readsWithoutPreventer = preventers_->reads;
    clock().advance(10min);
    EXPECT_EQ(preventers_->reads, readsWithoutPreventer) << "no poll without a sleep preventer";

    addHold("caffeinate", 4242, machine::kHoldLevelOn, "keep awake");
    EXPECT_EQ(manager().assertions(), machine::Assertions::SleepPrevented);
    logged();
    std::string error;
    ASSERT_TRUE(SimulatedMachine().removeHold("keep awake", 4242, &error)) << error;
    const int readsWhilePresent = preventers_->reads;
    EXPECT_EQ(manager().assertions(), machine::Assertions::SleepPrevented)
        << "the stored state is answered until the next poll";
    clock().advance(59s);
    EXPECT_EQ(preventers_->reads, readsWhilePresent);
    EXPECT_THAT(received.take(), IsEmpty());
    clock().advance(2s);
    EXPECT_EQ(preventers_->reads, readsWhilePresent + 1);
    EXPECT_THAT(received.take(), ElementsAre(0x20u));
    EXPECT_THAT(logged(), ElementsAre("Assertions: none."));
    EXPECT_EQ(manager().assertions(), machine::Assertions::None);

    const int readsAfter = preventers_->reads;
    clock().advance(10min);
    EXPECT_EQ(preventers_->reads, readsAfter) << "the poll ends with the last preventer";
}

TEST_F(SystemEventsManagerTest, RemovingTheLastStateObserverKeepsOnlyThePowerStateForSleep) {
    addHold("caffeinate", 4242, machine::kHoldLevelOn, "keep awake");
    auto sleepObserver = manager().addObserverForSleepEventWithQueue(nullptr, [](auto&, auto&) {});
    auto first = manager().addObserverForEventSet(0x7F, nullptr, [](unsigned) {});
    auto second = manager().addObserverForEventSet(0x8, nullptr, [](unsigned) {});
    EXPECT_EQ(manager().assertions(), machine::Assertions::SleepPrevented);
    clock().drain();
    logged();

    manager().removeObserver(first);
    set("power-source", "battery"); // still wanted by the second observer
    EXPECT_THAT(logged(), ElementsAre("Power Source: battery."));

    manager().removeObserver(second);
    const int reads = preventers_->reads;
    set("power-source", "AC");
    set("user-activity", "active");
    set("system-load", "bad");
    set("thermal", "heavy");
    set("network-type", "wifi");
    std::string error;
    ASSERT_TRUE(SimulatedMachine().removeHold("keep awake", 4242, &error)) << error;
    clock().advance(2min);
    EXPECT_THAT(logged(), IsEmpty());
    EXPECT_EQ(preventers_->reads, reads) << "the sleep-preventer poll went with its bit";

    announce(machine::kSleepAnnouncement);
    EXPECT_THAT(logged(), ElementsAre("New capability bits: 0", "Power State: sleep."));

    // The sleep observer gone too, nothing is left.
    manager().removeObserver(sleepObserver);
    announce(machine::kFullWake);
    EXPECT_THAT(logged(), IsEmpty());
    EXPECT_FALSE(manager().recentWake());
}

TEST_F(SystemEventsManagerTest, RemovingObserversDropsSourcesOnlyAGetterAskedFor) {
    auto observer = manager().addObserverForEventSet(0x8, nullptr, [](unsigned) {});
    EXPECT_EQ(manager().userActivity(), machine::UserActivity::Idle);
    logged();
    manager().removeObserver(observer);
    set("user-activity", "active");
    EXPECT_THAT(logged(), IsEmpty());
    // Asking again registers it again, with the current state.
    EXPECT_EQ(manager().userActivity(), machine::UserActivity::Active);
    EXPECT_THAT(logged(), ElementsAre("User Activity: active."));
}

TEST_F(SystemEventsManagerTest, WithoutThermalNotificationsTheLevelStaysNominal) {
    set("thermal", "unavailable");
    EXPECT_EQ(manager().thermalLevel(), machine::ThermalLevel::Nominal);
    EXPECT_THAT(logged(), IsEmpty()) << "the getter neither registers nor logs";
    manager().addObserverForEventSet(0x4 | 0x8, nullptr, [](unsigned) {});
    EXPECT_THAT(logged(),
                ElementsAre("Thermal notifications are not available.", "Power Source: AC."));
    EXPECT_EQ(manager().thermalLevel(), machine::ThermalLevel::Nominal);
}

} // namespace

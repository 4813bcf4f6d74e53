// The system events manager on the Linux power-state and sleep-preventer sources, against a
// stand-in login manager on a private bus: sleep goes ahead only once every sleep observer
// has answered, with the earliest wake request armed; other processes' inhibitors count as
// sleep preventers. Runs on the real clock, waiting only for bus traffic.
#include "platform/machine-sim/SimulatedSources.h"
#include "platform/machine-linux/Logind.h"
#include "scheduler/events/VRNSystemEventsManager.h"
#include "tests/platform/machine/LogindStandIn.h"
#include "tests/platform/machine/MachineTestSupport.h"
#include "tests/support/Gate.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/Waiter.h"

#include <gtest/gtest.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

using machinetest::LogindStandIn;

class LogindManagerTest : public testing::Test {
protected:
    void SetUp() override {
        if (!bus.ready()) {
            GTEST_SKIP() << "dbus-daemon cannot be started here (install the dbus package)";
        }
        ASSERT_TRUE(logind.ready());
        logind.makeCurrent();
        auto opener = bus::busAt(bus.address());
        // Everything but power state and sleep holds from the simulated machine.
        auto sources = machine::createSimulatedSources({});
        sources.powerState = machine::logind::createPowerState(opener, {}, [this](int) {
            wakeTimer = ::timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK);
            return wakeTimer;
        });
        sources.sleepPreventers = machine::logind::createSleepPreventers(opener);
        manager = std::make_unique<VRNSystemEventsManager>(testsupport::environment(),
                                                           std::move(sources), ::getpid());
    }

    size_t delayInhibitors() {
        size_t count = 0;
        for (const auto& i : logind.liveInhibitors()) {
            count += i.what == "sleep" && i.mode == "delay" &&
                     i.pid == static_cast<std::uint32_t>(::getpid());
        }
        return count;
    }

    // Waits, bounded, until the process's delay inhibitor is gone.
    bool delayReleased() {
        for (int attempt = 0; attempt < 100 && delayInhibitors() > 0; ++attempt) {
            logind.waitForRelease(100);
        }
        return delayInhibitors() == 0;
    }

    machinetest::TempRoot root;
    machinetest::PrivateBus bus;
    LogindStandIn logind{bus.address()};
    int wakeTimer = -1;
    std::unique_ptr<VRNSystemEventsManager> manager;
};

TEST_F(LogindManagerTest, SleepWaitsForEveryObserverAndArmsTheEarliestRequest) {
    auto observerQueue = dispatch::SerialQueue::create("com.vornhal.test.sleep-observer");
    testsupport::Gate answerNow;
    testsupport::Waiter asked;
    const cal::Date early = cal::dateFromUnixTime(4102444800.0); // 2100-01-01
    // One observer answers at once with a later date; the queued one only when released.
    auto immediate = manager->addObserverForSleepEventWithQueue(
        nullptr, [&](std::optional<cal::Date>& date, std::optional<std::string>& reason) {
            date = early + 3600;
            reason = "later";
        });
    auto queued = manager->addObserverForSleepEventWithQueue(
        observerQueue, [&](std::optional<cal::Date>& date, std::optional<std::string>& reason) {
            asked.notify();
            answerNow.pass();
            date = early;
            reason = "com.vornhal.keelbrook.backup";
        });
    EXPECT_EQ(manager->powerState(), VRNPowerStateFullWake);
    ASSERT_EQ(delayInhibitors(), 1u);

    logind.prepareForSleep(true);
    ASSERT_TRUE(asked.waitFor());
    logind.waitForRelease(300); // a premature answer would release the inhibitor meanwhile
    EXPECT_EQ(delayInhibitors(), 1u) << "sleep went ahead before every observer answered";
    answerNow.open();
    ASSERT_TRUE(delayReleased());
    itimerspec armed{};
    ASSERT_GE(wakeTimer, 0);
    ASSERT_EQ(::timerfd_gettime(wakeTimer, &armed), 0);
    EXPECT_GT(armed.it_value.tv_sec, 0) << "no wake alarm armed";
    EXPECT_EQ(manager->powerState(), VRNPowerStateSleep);

    manager->removeObserver(immediate);
    manager->removeObserver(queued);
}

// The next sleep is announced while the delay inhibitor is taken again after a resume: the
// manager still sees it, collects the wake request and arms the alarm.
TEST_F(LogindManagerTest, SleepAnnouncedDuringTheReTakenInhibitorIsAnswered) {
    testsupport::Waiter asked;
    auto observer = manager->addObserverForSleepEventWithQueue(
        nullptr, [&](std::optional<cal::Date>& date, std::optional<std::string>& reason) {
            date = cal::dateFromUnixTime(4102444800.0);
            reason = "com.vornhal.keelbrook.backup";
            asked.notify();
        });
    EXPECT_EQ(manager->powerState(), VRNPowerStateFullWake);
    logind.prepareForSleep(true);
    ASSERT_TRUE(asked.waitFor(1));
    ASSERT_TRUE(delayReleased());

    logind.whileAnswering("Inhibit",
                          [](LogindStandIn& standIn) { standIn.prepareForSleepNow(true); });
    logind.prepareForSleep(false);
    ASSERT_TRUE(asked.waitFor(2)) << "the second sleep's wake request was never collected";
    ASSERT_TRUE(delayReleased());
    EXPECT_EQ(manager->powerState(), VRNPowerStateSleep);
    itimerspec armed{};
    ASSERT_GE(wakeTimer, 0);
    ASSERT_EQ(::timerfd_gettime(wakeTimer, &armed), 0);
    EXPECT_GT(armed.it_value.tv_sec, 0) << "no wake alarm armed";
    manager->removeObserver(observer);
}

TEST_F(LogindManagerTest, AnotherProcessesIdleInhibitorPreventsSleep) {
    EXPECT_EQ(manager->assertions(), machine::Assertions::None);
    logind.addInhibitor({"idle", "mpv", "Playing video", "block", 1000, 4242, -1});
    EXPECT_EQ(manager->assertions(), machine::Assertions::SleepPrevented);
}

} // namespace

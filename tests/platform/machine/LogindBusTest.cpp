// The logind sources against a stand-in login manager on a private bus.

#include "platform/machine-linux/LinuxSources.h"
#include "platform/machine-linux/Logind.h"
#include "tests/platform/machine/LogindStandIn.h"
#include "tests/platform/machine/MachineTestSupport.h"
#include "tests/support/Waiter.h"

#include <gtest/gtest.h>
#include <sys/timerfd.h>

namespace {

using namespace machine;
using machinetest::LogindStandIn;

// Collects handler calls and lets the test wait for them.
template <class T>
class Arrivals {
public:
    std::function<void(T)> handler() {
        return [this](T value) {
            recorder_.handler()(value);
            waiter_.notify();
        };
    }
    // The values once `count` have arrived (or what came before a generous limit).
    std::vector<T> waitFor(int count) {
        waiter_.waitFor(count);
        return recorder_.values();
    }

private:
    machinetest::Recorder<T> recorder_;
    testsupport::Waiter waiter_;
};

class LogindBusTest : public testing::Test {
protected:
    void SetUp() override {
        if (!bus.ready()) {
            GTEST_SKIP() << "dbus-daemon cannot be started here (install the dbus package)";
        }
        ASSERT_TRUE(logind.ready());
        logind.makeCurrent();
        seams.bus = bus::busAt(bus.address());
        seams.wakeTimers = [this](int clockId) {
            clocks.push_back(clockId);
            // Every clock on the real-time clock: the test cannot hold a wake alarm.
            wakeTimer = ::timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK);
            return wakeTimer;
        };
    }

    // Live inhibitors taken by this process for `what` in `mode`.
    std::vector<LogindStandIn::Inhibitor> held(const std::string& what, const std::string& mode) {
        std::vector<LogindStandIn::Inhibitor> result;
        for (const auto& i : logind.liveInhibitors()) {
            if (i.what == what && i.mode == mode &&
                i.pid == static_cast<std::uint32_t>(::getpid())) {
                result.push_back(i);
            }
        }
        return result;
    }

    // As held(), once at most `count` remain (or a generous limit has passed).
    std::vector<LogindStandIn::Inhibitor>
    heldOnceReleased(const std::string& what, const std::string& mode, std::size_t count) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            auto current = held(what, mode);
            if (current.size() <= count) {
                return current;
            }
            logind.waitForRelease(100);
        }
        return held(what, mode);
    }

    machinetest::TempRoot root;
    machinetest::PrivateBus bus;
    LogindStandIn logind{bus.address()};
    LinuxSeams seams;
    std::vector<int> clocks;
    int wakeTimer = -1;
    dispatch::QueuePtr queue = dispatch::SerialQueue::create("com.vornhal.test.logind-client");
    std::string error;
};

TEST_F(LogindBusTest, SleepIsHeldByADelayInhibitorUntilAcknowledgedAndTakenAgainOnResume) {
    SourceOptions options;
    options.productName = "keelbrook";
    auto state = logind::createPowerState(seams.bus, options, seams.wakeTimers);
    Arrivals<unsigned> seen;
    ASSERT_TRUE(state->start(queue, seen.handler(), &error)) << error;
    EXPECT_EQ(state->currentCapabilities(), kFullWake);
    auto delays = held("sleep", "delay");
    ASSERT_EQ(delays.size(), 1u);
    EXPECT_EQ(delays[0].who, "keelbrook");

    logind.prepareForSleep(true);
    EXPECT_EQ(seen.waitFor(1), std::vector<unsigned>{kSleepAnnouncement});
    EXPECT_EQ(state->currentCapabilities(), kSleepAnnouncement);
    EXPECT_EQ(held("sleep", "delay").size(), 1u); // nothing answered yet: sleep waits

    const cal::Date wake = cal::dateFromUnixTime(4102444800.0);
    state->acknowledge(WakeRequest{wake, "com.vornhal.backup"});
    EXPECT_TRUE(heldOnceReleased("sleep", "delay", 0).empty());
    itimerspec armed{};
    ASSERT_GE(wakeTimer, 0);
    ASSERT_EQ(::timerfd_gettime(wakeTimer, &armed), 0);
    EXPECT_GT(armed.it_value.tv_sec, 0);
    EXPECT_EQ(clocks.front(), CLOCK_REALTIME_ALARM);

    logind.prepareForSleep(false);
    EXPECT_EQ(seen.waitFor(2), (std::vector<unsigned>{kSleepAnnouncement, kFullWake}));
    EXPECT_EQ(held("sleep", "delay").size(), 1u); // taken again for the next sleep
    ASSERT_EQ(::timerfd_gettime(wakeTimer, &armed), 0);
    EXPECT_EQ(armed.it_value.tv_sec, 0); // the answered request is over

    // A second sleep answered without a request leaves the timer off.
    logind.prepareForSleep(true);
    seen.waitFor(3);
    state->acknowledge(std::nullopt);
    EXPECT_TRUE(heldOnceReleased("sleep", "delay", 0).empty());
    state->stop();
}

// The login manager announces sleep while it answers the Inhibit call that re-takes the
// delay inhibitor after a resume: the announcement must not wait in the connection's queue.
TEST_F(LogindBusTest, SleepAnnouncedWhileTheDelayInhibitorIsTakenAgainIsDelivered) {
    auto state = logind::createPowerState(seams.bus, {}, seams.wakeTimers);
    Arrivals<unsigned> seen;
    ASSERT_TRUE(state->start(queue, seen.handler(), &error)) << error;
    logind.prepareForSleep(true);
    seen.waitFor(1);
    state->acknowledge(std::nullopt);
    ASSERT_TRUE(heldOnceReleased("sleep", "delay", 0).empty());

    logind.whileAnswering("Inhibit",
                          [](LogindStandIn& standIn) { standIn.prepareForSleepNow(true); });
    logind.prepareForSleep(false);
    EXPECT_EQ(seen.waitFor(3),
              (std::vector<unsigned>{kSleepAnnouncement, kFullWake, kSleepAnnouncement}));
    EXPECT_EQ(state->currentCapabilities(), kSleepAnnouncement);
    EXPECT_EQ(held("sleep", "delay").size(), 1u); // taken again, and holding this sleep

    state->acknowledge(WakeRequest{cal::dateFromUnixTime(4102444800.0), "com.vornhal.backup"});
    EXPECT_TRUE(heldOnceReleased("sleep", "delay", 0).empty());
    itimerspec armed{};
    ASSERT_GE(wakeTimer, 0);
    ASSERT_EQ(::timerfd_gettime(wakeTimer, &armed), 0);
    EXPECT_GT(armed.it_value.tv_sec, 0);
    state->stop();
}

// A session goes idle while the source lists the inhibitors: the change signal, read while
// the call waited, is handled and the state read again.
TEST_F(LogindBusTest, SessionGoingIdleDuringTheInhibitorListIsSeen) {
    logind.addSession("c1", 1000, "wayland", false);
    auto activity = logind::createUserActivity(seams.bus, true);
    Arrivals<UserActivity> seen;
    ASSERT_TRUE(activity->start(queue, seen.handler(), &error)) << error;
    logind.whileAnswering("ListInhibitors",
                          [](LogindStandIn& standIn) { standIn.setIdleNow(0, true); });
    EXPECT_EQ(activity->current(), UserActivity::Active); // the sessions were read before
    const auto values = seen.waitFor(1);
    ASSERT_FALSE(values.empty()) << "the idle hint's change was never handled";
    EXPECT_EQ(values.back(), UserActivity::Idle);
    activity->stop();
}

TEST_F(LogindBusTest, UnreadableUserActivityIsIdleButActiveForTheOlderVariant) {
    auto nowhere = bus::busAt("unix:path=/nonexistent/bus");
    EXPECT_EQ(logind::createUserActivity(nowhere, true)->current(), UserActivity::Idle);
    EXPECT_EQ(logind::createUserActivity(nowhere, false)->current(), UserActivity::Active);
}

TEST_F(LogindBusTest, UserActivityFollowsSessionsAndIdleInhibitors) {
    logind.addSession("c1", 1000, "wayland", false);
    logind.addSession("c2", 0, "tty", false);
    auto activity = logind::createUserActivity(seams.bus, true);
    EXPECT_EQ(activity->current(), UserActivity::Active);
    Arrivals<UserActivity> seen;
    ASSERT_TRUE(activity->start(queue, seen.handler(), &error)) << error;

    logind.addInhibitor({"idle", "mpv", "Playing video", "block", 1000, 4242, -1});
    auto values = seen.waitFor(1);
    ASSERT_FALSE(values.empty());
    EXPECT_EQ(values.back(), UserActivity::Passive);

    logind.setIdle(0, true);
    values = seen.waitFor(2);
    ASSERT_GE(values.size(), 2u);
    EXPECT_EQ(values.back(), UserActivity::Idle);
    activity->stop();

    auto older = logind::createUserActivity(seams.bus, false);
    logind.setIdle(0, false);
    EXPECT_EQ(older->current(), UserActivity::Active);
}

TEST_F(LogindBusTest, InhibitorsOfIdleAndSleepAreListedAsHolds) {
    root.write("proc/4242/comm", "mpv\n");
    logind.addInhibitor({"idle", "mpv", "Playing video", "block", 1000, 4242, -1});
    logind.addInhibitor({"shutdown", "apt", "Upgrading", "block", 0, 4243, -1});
    logind.addInhibitor({"sleep", "NetworkManager", "Saving", "delay", 0, 4244, -1});
    auto preventers = logind::createSleepPreventers(seams.bus);
    std::vector<SleepHold> holds;
    ASSERT_TRUE(preventers->copyHolds(&holds, &error)) << error;
    ASSERT_EQ(holds.size(), 2u);
    EXPECT_EQ(holds[0],
              (SleepHold{kPreventUserIdleSystemSleep, 255, "Playing video", 4242, "mpv"}));
    EXPECT_EQ(holds[1].level, 0);
    EXPECT_EQ(holds[1].pid, 4244);
}

TEST_F(LogindBusTest, PowerAssertionsAreIdleBlockInhibitorsReleasedByClosing) {
    auto assertions = logind::createPowerAssertions(seams.bus);
    EXPECT_EQ(assertions->create("PreventSystemSleep", "x", "y", &error), 0u);
    const auto id = assertions->create(kPreventUserIdleSystemSleep, "com.vornhal.backup",
                                       "Delay sleep to run activity.", &error);
    ASSERT_NE(id, 0u) << error;
    auto blocks = held("idle", "block");
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].who, "com.vornhal.backup");
    EXPECT_EQ(blocks[0].why, "Delay sleep to run activity.");
    const auto task =
        assertions->create(kBackgroundTask, "com.vornhal.update", "Installing.", &error);
    ASSERT_NE(task, 0u) << error;
    EXPECT_EQ(held("idle", "block").size(), 2u);

    assertions->release(id);
    blocks = heldOnceReleased("idle", "block", 1);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].who, "com.vornhal.update");
    assertions->release(task);
    EXPECT_TRUE(heldOnceReleased("idle", "block", 0).empty());
}

TEST(LogindWithoutBusTest, FailuresAreReportedNotHidden) {
    auto nowhere = bus::busAt("unix:path=/nonexistent/bus");
    std::string error;
    auto assertions = logind::createPowerAssertions(nowhere);
    EXPECT_EQ(assertions->create(kPreventUserIdleSystemSleep, "a", "b", &error), 0u);
    EXPECT_NE(error.find("cannot connect"), std::string::npos);
    std::vector<SleepHold> holds;
    EXPECT_FALSE(logind::createSleepPreventers(nowhere)->copyHolds(&holds, &error));
    auto state = logind::createPowerState(nowhere, {}, WakeAlarm::timerfds());
    EXPECT_FALSE(state->start(
        dispatch::SerialQueue::create("q"), [](unsigned) {}, &error));
    EXPECT_EQ(logind::createUserActivity(nowhere, true)->current(), UserActivity::Idle);
}

} // namespace

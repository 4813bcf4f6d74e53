#include "platform/machine-linux/LinuxSources.h"

#include "platform/dispatch/Queue.h"
#include "platform/dispatch/VirtualClock.h"
#include "platform/machine-linux/LinuxFeeds.h"
#include "platform/machine-linux/WakeAlarm.h"
#include "tests/platform/machine/MachineTestSupport.h"

#include <cerrno>
#include <ctime>
#include <future>
#include <gtest/gtest.h>
#include <sys/timerfd.h>

namespace {

using namespace std::chrono_literals;
using machine::PowerSource;
using machine::SystemLoad;
using machine::ThermalLevel;

dispatch::VirtualClock& clock() {
    return dispatch::VirtualClock::install();
}

// The Linux sources on fed events and a tree of files under the test's root.
class LinuxSourcesTest : public testing::Test {
protected:
    LinuxSourcesTest() {
        machine::LinuxSeams seams;
        seams.bus = [](std::string* error) -> sd_bus* {
            *error = "no bus in this test";
            return nullptr;
        };
        seams.powerSupplyEvents = udev.factory();
        seams.pressureEvents = pressure.factory();
        seams.thermalEvents = thermal.factory();
        seams.routeEvents = routes.factory();
        sources = machine::createLinuxSources({}, std::move(seams));
    }
    void setPressure(const std::string& avg10) {
        root.write("proc/pressure/cpu", "some avg10=" + avg10 +
                                            " avg60=0.00 avg300=0.00 total=1\n"
                                            "full avg10=0.00 avg60=0.00 avg300=0.00 total=0\n");
    }

    machinetest::TempRoot root;
    machinetest::FeedControl udev, pressure, thermal, routes;
    machine::Sources sources;
    dispatch::QueuePtr queue = dispatch::SerialQueue::create("com.vornhal.test.machine");
};

TEST_F(LinuxSourcesTest, PowerSourceIsReadAgainOnDeviceEventsOnly) {
    root.write("sys/class/power_supply/AC/type", "Mains\n");
    root.write("sys/class/power_supply/AC/online", "0\n");
    root.write("sys/class/power_supply/BAT0/type", "Battery\n");
    EXPECT_EQ(sources.powerSource->current(), PowerSource::Battery);
    machinetest::Recorder<PowerSource> seen;
    std::string error;
    ASSERT_TRUE(sources.powerSource->start(queue, seen.handler(), &error)) << error;

    root.write("sys/class/power_supply/AC/online", "1\n");
    clock().drain();
    EXPECT_TRUE(seen.values().empty()); // no event yet: no polling either
    udev.fire();
    clock().drain();
    EXPECT_EQ(seen.values(), std::vector<PowerSource>{PowerSource::AC});

    sources.powerSource->stop();
    root.write("sys/class/power_supply/AC/online", "0\n");
    udev.fire();
    clock().drain();
    EXPECT_EQ(seen.values().size(), 1u);
}

TEST_F(LinuxSourcesTest, NetworkTypeFirstReadingFollowsStartButNeverStop) {
    machinetest::Recorder<machine::NetworkType> seen;
    std::string error;
    ASSERT_TRUE(sources.networkType->start(queue, seen.handler(), &error)) << error;
    clock().drain();
    EXPECT_EQ(seen.values().size(), 1u); // the machine's own route decides which
    sources.networkType->stop();
    seen.clear();

    // Stopped before the queue reaches the first reading: it is dropped.
    std::promise<void> gate;
    queue->async([opened = gate.get_future().share()] { opened.wait(); });
    ASSERT_TRUE(sources.networkType->start(queue, seen.handler(), &error)) << error;
    sources.networkType->stop();
    gate.set_value();
    clock().drain();
    EXPECT_TRUE(seen.values().empty());
}

TEST_F(LinuxSourcesTest, PressureRisesByTriggerAndRecoversByTimerWhileNotGreat) {
    setPressure("5.00");
    machinetest::Recorder<SystemLoad> seen;
    std::string error;
    ASSERT_TRUE(sources.systemLoad->start(queue, seen.handler(), &error)) << error;
    clock().advance(60s);
    EXPECT_TRUE(seen.values().empty()); // great: no timer

    setPressure("75.00");
    pressure.fire();
    clock().drain();
    EXPECT_EQ(seen.values(), std::vector<SystemLoad>{SystemLoad::Bad});

    setPressure("30.00");
    clock().advance(9s);
    EXPECT_EQ(seen.values().size(), 1u);
    clock().advance(1s);
    EXPECT_EQ(seen.values().back(), SystemLoad::OK);
    setPressure("4.00");
    clock().advance(10s);
    EXPECT_EQ(seen.values(),
              (std::vector<SystemLoad>{SystemLoad::Bad, SystemLoad::OK, SystemLoad::Great}));

    // Great again: the timer is off, only a trigger reports a rise.
    setPressure("90.00");
    clock().advance(60s);
    EXPECT_EQ(seen.values().size(), 3u);
    sources.systemLoad->stop();
}

TEST_F(LinuxSourcesTest, PressureAlreadyHighAtStartIsFollowedUntilItRecovers) {
    setPressure("65.00");
    EXPECT_EQ(sources.systemLoad->current(), SystemLoad::Bad);
    machinetest::Recorder<SystemLoad> seen;
    std::string error;
    ASSERT_TRUE(sources.systemLoad->start(queue, seen.handler(), &error)) << error;
    setPressure("1.00");
    clock().advance(10s);
    EXPECT_EQ(seen.values(), std::vector<SystemLoad>{SystemLoad::Great});
    sources.systemLoad->stop();
    setPressure("70.00");
    pressure.fire();
    clock().advance(30s);
    EXPECT_EQ(seen.values().size(), 1u);
}

TEST_F(LinuxSourcesTest, ThermalFollowsEventsWhereTheKernelHasThem) {
    root.write("sys/class/thermal/thermal_zone0/temp", "40000\n");
    root.write("sys/class/thermal/thermal_zone0/trip_point_0_type", "passive\n");
    root.write("sys/class/thermal/thermal_zone0/trip_point_0_temp", "80000\n");
    EXPECT_TRUE(sources.thermal->available());
    machinetest::Recorder<ThermalLevel> seen;
    std::string error;
    ASSERT_TRUE(sources.thermal->start(queue, seen.handler(), &error)) << error;
    root.write("sys/class/thermal/thermal_zone0/temp", "81000\n");
    thermal.fire();
    clock().drain();
    EXPECT_EQ(seen.values(), std::vector<ThermalLevel>{ThermalLevel::Moderate});
    sources.thermal->stop();
}

TEST(LinuxThermalTest, WithoutThermalEventsTheSourceIsUnavailable) {
    machinetest::FeedControl none;
    machine::LinuxSeams seams;
    seams.thermalEvents = none.factory(/*refuse=*/true);
    auto sources = machine::createLinuxSources({}, std::move(seams));
    EXPECT_FALSE(sources.thermal->available());
    EXPECT_FALSE(sources.thermal->available());
    EXPECT_EQ(none.opened, 1); // asked once
}

// Timer descriptors as the kernel makes them, except that the alarm clock is refused.
struct RefusedAlarm {
    std::vector<int> clocks;
    int fd = -1;
    machine::WakeAlarm::TimerFactory factory() {
        return [this](int clockId) {
            clocks.push_back(clockId);
            if (clockId == CLOCK_REALTIME_ALARM) {
                errno = EPERM;
                return -1;
            }
            fd = ::timerfd_create(clockId, TFD_CLOEXEC | TFD_NONBLOCK);
            return fd;
        };
    }
};

TEST(WakeAlarmTest, WithoutTheAlarmClockOneLineIsLoggedAndARealTimeTimerIsUsed) {
    RefusedAlarm timers;
    std::vector<std::pair<int, std::string>> lines;
    machine::WakeAlarm alarm(timers.factory(), [&lines](int level, const std::string& text) {
        lines.emplace_back(level, text);
    });
    const cal::Date date = cal::dateFromUnixTime(4102444800.0); // 2100-01-01
    ASSERT_TRUE(alarm.set(date));
    ASSERT_TRUE(alarm.set(date + 60));
    EXPECT_EQ(timers.clocks, (std::vector<int>{CLOCK_REALTIME_ALARM, CLOCK_REALTIME}));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].second.find("Operation not permitted"), std::string::npos);

    itimerspec armed{};
    ASSERT_EQ(::timerfd_gettime(timers.fd, &armed), 0);
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    // The time left is measured against the real clock: the alarm is set far ahead.
    EXPECT_NEAR(static_cast<double>(armed.it_value.tv_sec),
                4102444860.0 - static_cast<double>(now.tv_sec), 5.0);
    ASSERT_TRUE(alarm.set(std::nullopt));
    ASSERT_EQ(::timerfd_gettime(timers.fd, &armed), 0);
    EXPECT_EQ(armed.it_value.tv_sec, 0);
    EXPECT_EQ(armed.it_value.tv_nsec, 0);
    EXPECT_EQ(lines.size(), 1u);
}

} // namespace

namespace {

// The kernel's own descriptors behind the feeds open on this machine where it has the
// facility (the pressure trigger text included, which the kernel checks).
TEST(LinuxFeedsTest, TheKernelsFeedsOpenWhereTheMachineHasThem) {
    std::string error;
    if (std::filesystem::exists("/proc/pressure/cpu")) {
        EXPECT_NE(machine::linuxfeeds::pressureTrigger("/proc/pressure/cpu",
                                                       machine::kPressureTrigger)(&error),
                  nullptr)
            << error;
    }
    EXPECT_NE(machine::linuxfeeds::routeChanges()(&error), nullptr) << error;
    EXPECT_NE(machine::linuxfeeds::udev("power_supply")(&error), nullptr) << error;
    // A pressure file that refuses the trigger is reported, not followed.
    machinetest::TempRoot root;
    root.write("pressure", "some avg10=0.00 avg60=0.00 avg300=0.00 total=0\n");
    EXPECT_EQ(machine::linuxfeeds::pressureTrigger((root.path() / "missing").string(),
                                                   machine::kPressureTrigger)(&error),
              nullptr);
    EXPECT_NE(error.find("missing"), std::string::npos);
}

} // namespace

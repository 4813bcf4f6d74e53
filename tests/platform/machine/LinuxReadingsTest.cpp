#include "platform/machine-linux/LinuxReadings.h"

#include "platform/machine-linux/Logind.h"
#include "tests/platform/machine/MachineTestSupport.h"

#include <gtest/gtest.h>

namespace {

using machine::NetworkType;
using machine::PowerSource;
using machine::SystemLoad;
using machine::ThermalLevel;
using machine::UserActivity;
namespace linuxfs = machine::linuxfs;

class PowerSupplyTest : public testing::Test {
protected:
    void supply(const std::string& name, const std::string& type,
                std::vector<std::pair<std::string, std::string>> attributes) {
        root.write("ps/" + name + "/type", type + "\n");
        for (const auto& [attribute, value] : attributes) {
            root.write("ps/" + name + "/" + attribute, value + "\n");
        }
    }
    PowerSource read() { return linuxfs::readPowerSource((root.path() / "ps").string()); }

    machinetest::TempRoot root;
};

TEST_F(PowerSupplyTest, NoSupplyAtAllIsAC) {
    EXPECT_EQ(read(), PowerSource::AC);
    std::filesystem::create_directories(root.path() / "ps");
    EXPECT_EQ(read(), PowerSource::AC);
}

TEST_F(PowerSupplyTest, MainsOnlineWinsOverABattery) {
    supply("BAT0", "Battery", {{"present", "1"}, {"scope", "System"}});
    supply("ADP1", "Mains", {{"online", "1"}});
    EXPECT_EQ(read(), PowerSource::AC);
    supply("ADP1", "Mains", {{"online", "0"}});
    EXPECT_EQ(read(), PowerSource::Battery);
}

TEST_F(PowerSupplyTest, OnlyASystemBatteryThatIsPresentMeansBattery) {
    supply("ADP1", "Mains", {{"online", "0"}});
    supply("hidpp_battery_0", "Battery", {{"present", "1"}, {"scope", "Device"}}); // a mouse
    EXPECT_EQ(read(), PowerSource::AC);
    supply("BAT1", "Battery", {{"present", "0"}});
    EXPECT_EQ(read(), PowerSource::AC);
    supply("BAT0", "Battery", {}); // no "present" or "scope": a present system battery
    EXPECT_EQ(read(), PowerSource::Battery);
}

TEST_F(PowerSupplyTest, ASystemBatteryCountsWhileOnMainsAndAPeripheralsNever) {
    const std::string folder = (root.path() / "ps").string();
    supply("ADP1", "Mains", {{"online", "1"}});
    supply("hidpp_battery_0", "Battery", {{"present", "1"}, {"scope", "Device"}});
    supply("BAT1", "Battery", {{"present", "0"}});
    EXPECT_FALSE(linuxfs::hasSystemBattery(folder));
    supply("BAT0", "Battery", {{"present", "1"}, {"scope", "System"}});
    EXPECT_TRUE(linuxfs::hasSystemBattery(folder));
    EXPECT_FALSE(linuxfs::hasSystemBattery("/nonexistent/power_supply"));
}

TEST(PressureTest, SomeAvg10SetsTheLoad) {
    auto load = [](const std::string& avg10) {
        return linuxfs::systemLoadFromPressure("some avg10=" + avg10 +
                                               " avg60=1.00 avg300=0.00 total=5\n"
                                               "full avg10=99.00 avg60=0.00 avg300=0.00 total=0\n");
    };
    EXPECT_EQ(load("0.00"), SystemLoad::Great);
    EXPECT_EQ(load("19.99"), SystemLoad::Great);
    EXPECT_EQ(load("20.00"), SystemLoad::OK);
    EXPECT_EQ(load("59.99"), SystemLoad::OK);
    EXPECT_EQ(load("60.00"), SystemLoad::Bad);
    EXPECT_EQ(load("100.00"), SystemLoad::Bad);
    // Unreadable text, or only the "full" line, is great.
    EXPECT_EQ(load("x"), SystemLoad::Great);
    EXPECT_EQ(linuxfs::systemLoadFromPressure(""), SystemLoad::Great);
    EXPECT_EQ(linuxfs::systemLoadFromPressure("full avg10=99.00 avg60=0 avg300=0 total=0\n"),
              SystemLoad::Great);
    EXPECT_EQ(linuxfs::readSystemLoad("/nonexistent/pressure"), SystemLoad::Great);
}

class ThermalTest : public testing::Test {
protected:
    void zone(int n, long temp, std::vector<std::pair<std::string, long>> trips) {
        const std::string folder = "thermal/thermal_zone" + std::to_string(n) + "/";
        root.write(folder + "temp", std::to_string(temp) + "\n");
        for (size_t i = 0; i < trips.size(); ++i) {
            const std::string trip = folder + "trip_point_" + std::to_string(i);
            root.write(trip + "_type", trips[i].first + "\n");
            root.write(trip + "_temp", std::to_string(trips[i].second) + "\n");
        }
    }
    ThermalLevel read() { return linuxfs::readThermalLevel((root.path() / "thermal").string()); }

    machinetest::TempRoot root;
};

TEST_F(ThermalTest, TheHighestTripReachedInAnyZoneCounts) {
    EXPECT_EQ(read(), ThermalLevel::Nominal);
    zone(0, 50000, {{"active", 45000}, {"passive", 80000}, {"critical", 100000}});
    EXPECT_EQ(read(), ThermalLevel::Nominal); // an "active" (fan) trip is no pressure
    zone(1, 85000, {{"passive", 80000}, {"hot", 95000}});
    EXPECT_EQ(read(), ThermalLevel::Moderate);
    zone(0, 100000, {{"active", 45000}, {"passive", 80000}, {"critical", 100000}});
    EXPECT_EQ(read(), ThermalLevel::Heavy);
    // Cooling devices and unreadable zones are skipped.
    root.write("thermal/cooling_device0/type", "Processor\n");
    root.write("thermal/thermal_zone0/temp", "unavailable\n");
    EXPECT_EQ(read(), ThermalLevel::Moderate);
}

TEST(NetClassTest, WirelessInterfacesHaveAWirelessOrPhyEntry) {
    machinetest::TempRoot root;
    root.write("net/wlan0/wireless/status", "0\n");
    root.write("net/wlp3s0/phy80211/index", "0\n");
    root.write("net/eth0/type", "1\n");
    const std::string net = (root.path() / "net").string();
    EXPECT_TRUE(linuxfs::isWirelessInterface(net, "wlan0"));
    EXPECT_TRUE(linuxfs::isWirelessInterface(net, "wlp3s0"));
    EXPECT_FALSE(linuxfs::isWirelessInterface(net, "eth0"));
    EXPECT_FALSE(linuxfs::isWirelessInterface(net, "missing"));
    // A name from the kernel never leaves the folder.
    EXPECT_FALSE(linuxfs::isWirelessInterface(net, "../net/wlan0"));
    EXPECT_FALSE(linuxfs::isWirelessInterface(net, ""));
}

using machine::logind::Inhibitor;
using machine::logind::Session;

TEST(LogindUserActivityTest, SessionsAndIdleInhibitorsGiveTheActivity) {
    const Session idleX11{1000, "x11", true};
    const Session awakeWayland{1001, "wayland", false};
    const Session awakeTty{1002, "tty", false};
    const Inhibitor videoOf1001{"idle", "player", "Playing video", "block", 1001, 42};
    const Inhibitor delayOf1001{"sleep:idle", "player", "x", "delay", 1001, 42};
    const Inhibitor daemonHold{"idle", "backup", "Delay sleep", "block", 0, 7};
    using machine::logind::userActivityFrom;

    EXPECT_EQ(userActivityFrom({}, {}, true), UserActivity::Idle);
    EXPECT_EQ(userActivityFrom({idleX11, awakeTty}, {}, true), UserActivity::Idle); // text only
    EXPECT_EQ(userActivityFrom({idleX11, awakeWayland}, {}, true), UserActivity::Active);
    EXPECT_EQ(userActivityFrom({awakeWayland}, {videoOf1001}, true), UserActivity::Passive);
    EXPECT_EQ(userActivityFrom({awakeWayland}, {videoOf1001}, false), UserActivity::Active);
    // Only the session user's own block of idle makes it passive.
    EXPECT_EQ(userActivityFrom({awakeWayland}, {delayOf1001, daemonHold}, true),
              UserActivity::Active);
    // One awake session without a hold is enough for active.
    const Session awakeX11Other{1003, "x11", false};
    EXPECT_EQ(userActivityFrom({awakeWayland, awakeX11Other}, {videoOf1001}, true),
              UserActivity::Active);
}

TEST(LogindSleepHoldsTest, IdleAndSleepInhibitorsBecomeHolds) {
    machinetest::TempRoot root;
    root.write("proc/42/comm", "mpv\n");
    const std::vector<Inhibitor> inhibitors{
        {"idle", "mpv", "Playing video", "block", 1000, 42},
        {"sleep", "NetworkManager", "Saving state", "delay", 0, 43},
        {"handle-lid-switch:shutdown", "gdm", "x", "block", 0, 44},
        {"shutdown:sleep:idle", "backup", "Delay sleep", "block", 0, 45},
    };
    const auto holds = machine::logind::sleepHoldsFrom(inhibitors, (root.path() / "proc").string());
    ASSERT_EQ(holds.size(), 3u);
    EXPECT_EQ(holds[0],
              (machine::SleepHold{"PreventUserIdleSystemSleep", 255, "Playing video", 42, "mpv"}));
    EXPECT_EQ(holds[1].level, 0);
    EXPECT_EQ(holds[1].processName, ""); // no such process in the tree
    EXPECT_EQ(holds[2].name, "Delay sleep");
    EXPECT_EQ(holds[2].level, 255);
}

TEST(MachineStateTest, NamesAndCapabilityBits) {
    EXPECT_EQ(machine::parseState<SystemLoad>("ok"), SystemLoad::OK);
    EXPECT_STREQ(machine::stateName(SystemLoad::OK), "OK");
    EXPECT_EQ(machine::parseState<PowerSource>("Battery"), PowerSource::Battery);
    EXPECT_EQ(machine::parseState<NetworkType>("wifi"), NetworkType::WiFi);
    EXPECT_EQ(machine::parseState<UserActivity>("asleep"), std::nullopt);

    EXPECT_TRUE(machine::isUserWake(machine::kFullWake));
    EXPECT_FALSE(machine::isDarkWake(machine::kFullWake));
    EXPECT_TRUE(machine::isDarkWake(machine::kDarkWakeWithBackgroundTasks));
    EXPECT_TRUE(machine::allowsBackgroundTask(machine::kDarkWakeWithBackgroundTasks));
    EXPECT_TRUE(machine::isDarkWake(machine::kDarkWake));
    EXPECT_FALSE(machine::allowsBackgroundTask(machine::kDarkWake));
    EXPECT_FALSE(machine::isDarkWake(machine::kSleepAnnouncement));
    EXPECT_FALSE(machine::isUserWake(machine::kSleepAnnouncement));
}

} // namespace

// The system events manager on the Linux sources, fed from the test: sysfs and procfs files
// under the test's root, udev, pressure and thermal events through the sources' seams, and
// no system bus (so the logind-based sources fail to register).
#include "common/VRNLog.h"
#include "platform/dispatch/VirtualClock.h"
#include "platform/machine-linux/LinuxSources.h"
#include "scheduler/events/VRNSystemEventsManager.h"
#include "tests/common/LogTestSupport.h"
#include "tests/platform/machine/MachineTestSupport.h"
#include "tests/support/TestEnvironment.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using testing::ElementsAre;
using testing::IsEmpty;

dispatch::VirtualClock& clock() {
    return dispatch::VirtualClock::install();
}

class LinuxSourcesManagerTest : public testing::Test {
protected:
    void SetUp() override {
        logtest::recorder();
        VRNLOG_UNIFIED = true;
        root.write("sys/class/power_supply/AC/type", "Mains\n");
        root.write("sys/class/power_supply/AC/online", "1\n");
        root.write("sys/class/power_supply/BAT0/type", "Battery\n");
        setPressure("0.00");
    }
    void TearDown() override {
        clock().drain();
        manager_.reset();
        clock().drain();
    }

    VRNSystemEventsManager& manager(bool thermalEvents = true) {
        if (!manager_) {
            machine::LinuxSeams seams;
            seams.bus = [](std::string* error) -> sd_bus* {
                *error = "no bus in this test";
                return nullptr;
            };
            seams.powerSupplyEvents = udev.factory();
            seams.pressureEvents = pressure.factory();
            seams.thermalEvents = thermal.factory(!thermalEvents);
            seams.routeEvents = routes.factory();
            manager_ = std::make_unique<VRNSystemEventsManager>(
                testsupport::environment(), machine::createLinuxSources({}, std::move(seams)),
                ::getpid());
        }
        return *manager_;
    }

    void setPressure(const std::string& avg10) {
        root.write("proc/pressure/cpu", "some avg10=" + avg10 +
                                            " avg60=0.00 avg300=0.00 total=1\n"
                                            "full avg10=0.00 avg60=0.00 avg300=0.00 total=0\n");
    }

    static std::vector<std::pair<int, std::string>> logged() {
        std::vector<std::pair<int, std::string>> lines;
        for (const auto& entry : logtest::recorder().take()) {
            lines.emplace_back(entry.priority, entry.message);
        }
        return lines;
    }
    static std::pair<int, std::string> debug(std::string text) { return {LOG_DEBUG, text}; }

    machinetest::TempRoot root;
    machinetest::FeedControl udev, pressure, thermal, routes;
    std::unique_ptr<VRNSystemEventsManager> manager_;
};

TEST_F(LinuxSourcesManagerTest, PowerSourceAndLoadChangesReachObserversUntilUnsubscribed) {
    std::vector<unsigned> received;
    auto observer = manager().addObserverForEventSet(
        0x2 | 0x8, nullptr, [&](unsigned set) { received.push_back(set); });
    clock().drain();
    EXPECT_THAT(logged(), ElementsAre(debug("Advisory: great."), debug("Power Source: AC.")));

    root.write("sys/class/power_supply/AC/online", "0\n");
    udev.fire();
    setPressure("75.00");
    pressure.fire();
    clock().drain();
    EXPECT_THAT(received, ElementsAre(0x8u, 0x2u));
    EXPECT_THAT(logged(), ElementsAre(debug("Power Source: battery."), debug("Advisory: bad.")));
    EXPECT_EQ(manager().powerSource(), machine::PowerSource::Battery);

    manager().removeObserver(observer);
    root.write("sys/class/power_supply/AC/online", "1\n");
    udev.fire();
    setPressure("0.00");
    clock().advance(30s); // the pressure recovery timer went with the registration
    EXPECT_THAT(logged(), IsEmpty());
    EXPECT_THAT(received, ElementsAre(0x8u, 0x2u));
}

TEST_F(LinuxSourcesManagerTest, WithoutTheLoginManagerOnlyUserActivityReportsAFailure) {
    manager(/*thermalEvents=*/false)
        .addObserverForEventSet(0x1 | 0x4 | 0x10 | 0x20, nullptr, [](unsigned) {});
    manager().addObserverForSleepEventWithQueue(nullptr, [](auto&, auto&) {});
    EXPECT_EQ(manager().assertions(), machine::Assertions::None);
    EXPECT_EQ(manager().powerState(), machine::PowerState::FullWake);
    EXPECT_EQ(manager().userActivity(), machine::UserActivity::Idle);
    EXPECT_THAT(logged(), ElementsAre(std::pair(LOG_ERR, std::string("Failed to register activity "
                                                                     "notification.")),
                                      debug("Thermal notifications are not available.")));
}

} // namespace

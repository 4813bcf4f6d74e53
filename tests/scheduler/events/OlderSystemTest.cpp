// The manager on a system older than 10.14, which cannot tell the network type: it stays
// unknown whatever the machine's network is.
#include "common/VRNSystemVersionManager.h"
#include "platform/dispatch/VirtualClock.h"
#include "platform/machine-sim/SimulatedMachine.h"
#include "platform/machine-sim/SimulatedSources.h"
#include "scheduler/events/VRNSystemEventsManager.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestEnvironment.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

const bool simulatedRoot = [] {
    static testsupport::TempFolder root;
    setenv("KEELBROOK_ROOT", root.path().c_str(), 1);
    return true;
}();

TEST(OlderSystemTest, NetworkTypeStaysUnknownBefore1014) {
    ASSERT_TRUE(simulatedRoot);
    const VRNEnvironment older = testsupport::environment("10.13.6");
    ASSERT_FALSE(older.versions->runningAtLeast(VRNSystemVersion10_14));
    std::string error;
    ASSERT_TRUE(machine::sim::SimulatedMachine().setState("network-type", "wired", &error))
        << error;
    VRNSystemEventsManager manager(older, machine::createSimulatedSources({}), ::getpid());
    unsigned changes = 0;
    auto observer = manager.addObserverForEventSet(VRNSystemEventNetworkType, nullptr,
                                                   [&](unsigned) { ++changes; });
    dispatch::VirtualClock::install().drain();
    EXPECT_EQ(manager.networkType(), machine::NetworkType::Unknown);
    ASSERT_TRUE(machine::sim::SimulatedMachine().setState("network-type", "wifi", &error));
    dispatch::VirtualClock::install().drain();
    EXPECT_EQ(manager.networkType(), machine::NetworkType::Unknown);
    EXPECT_EQ(changes, 0u);
    manager.removeObserver(observer);
}

} // namespace

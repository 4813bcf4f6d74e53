#pragma once

#include "platform/machine-linux/EventFeed.h"
#include "platform/machine-linux/Logind.h"
#include "platform/machine/Machine.h"
#include "platform/machine/Sources.h"
#include "platform/machine-linux/WakeAlarm.h"

#include <chrono>
#include <memory>

namespace machine {

// Where the Linux sources get their events. The defaults are the real system's; tests pass
// their own feeds and bus. Files (/sys, /proc) are read through paths::path, so tests set
// KEELBROOK_ROOT to a tree of their own.
struct LinuxSeams {
    logind::BusOpener bus = bus::systemBus();
    EventFeedFactory powerSupplyEvents;
    EventFeedFactory pressureEvents;
    EventFeedFactory thermalEvents;
    EventFeedFactory routeEvents;
    WakeAlarm::TimerFactory wakeTimers = WakeAlarm::timerfds();

    // The real system's feeds.
    static LinuxSeams system();
};

// While the system load is not great, it is read again at this interval to see it recover.
inline constexpr std::chrono::seconds kPressureRecoveryInterval{10};
// The pressure trigger: 20 % of a two-second window stalled, where "great" ends. Windows
// that are not a multiple of two seconds are refused where the kernel limits triggers.
inline constexpr const char* kPressureTrigger = "some 400000 2000000";

Sources createLinuxSources(const SourceOptions& options, LinuxSeams seams = LinuxSeams::system());
std::unique_ptr<PowerAssertions>
createLinuxPowerAssertions(LinuxSeams seams = LinuxSeams::system());
// The real machine: its sources and assertions on the real system.
std::shared_ptr<Machine> createLinuxMachine();

} // namespace machine

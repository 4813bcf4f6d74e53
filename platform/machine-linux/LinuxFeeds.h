#pragma once

#include "platform/machine-linux/EventFeed.h"

#include <string>

// The kernel's event descriptors behind the Linux sources.
namespace machine::linuxfeeds {

// Device events of one udev subsystem ("power_supply"), through an sd-device monitor.
EventFeedFactory udev(std::string subsystem);

// A pressure-stall trigger on `pressureFile` ("some 400000 2000000": 20 % of two
// seconds stalled), readable when the stall rises past it.
EventFeedFactory pressureTrigger(std::string pressureFile, std::string trigger);

// The kernel's thermal netlink family ("thermal", group "event"); unavailable (null) where
// the kernel has none.
EventFeedFactory thermalNetlink();

// Link and route changes from rtnetlink.
EventFeedFactory routeChanges();

} // namespace machine::linuxfeeds

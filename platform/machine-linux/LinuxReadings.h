#pragma once

#include "platform/machine/MachineState.h"

#include <optional>
#include <string>
#include <string_view>

// How the Linux sources turn the kernel's files into states. Folders are passed in so that
// tests read trees of their own; the sources pass the real ones through paths::path.
namespace machine::linuxfs {

// The first line of a file without its line end; nullopt when it cannot be read.
std::optional<std::string> readFirstLine(const std::string& path);

// From a power_supply class folder: AC while a supply of type "Mains" is online; else
// battery when a present supply of type "Battery" powers the system (its scope is not
// "Device": a mouse's battery does not count); else (no supply at all included) AC.
PowerSource readPowerSource(const std::string& powerSupplyFolder);

// Whether the power_supply class folder shows a present system battery (of the kind above),
// whatever powers the machine now.
bool hasSystemBattery(const std::string& powerSupplyFolder);

// From the text of a pressure file ("some avg10=12.50 avg60=..."): the "some" line's avg10
// below 20 % is great, below 60 % OK, else bad. Unreadable text is great.
SystemLoad systemLoadFromPressure(std::string_view text);
SystemLoad readSystemLoad(const std::string& pressureFile);

// From a thermal class folder: the highest trip point any zone's temperature has reached:
// "hot" or "critical" is heavy, "passive" moderate, anything else (none) nominal.
ThermalLevel readThermalLevel(const std::string& thermalFolder);

// Whether the net class folder shows `interface` as a wireless device.
bool isWirelessInterface(const std::string& netFolder, std::string_view interface);

// The short name of a process (its "comm"), from a procfs folder; empty when unknown.
std::string processName(const std::string& procFolder, int pid);

} // namespace machine::linuxfs

#pragma once

// Work that must outlive the service that starts it, run as a transient service of systemd
// over its D-Bus API: a child stays in its parent's control group and is killed with it,
// a unit of its own is not.

#include "platform/bus/Bus.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace units {

// A command run as a oneshot service that systemd collects once it has ended, failed or not.
struct TransientService {
    std::string name; // "keelbrook-update-123.service"
    std::string description;
    std::vector<std::string> command;     // element 0 the program's absolute path
    std::vector<std::string> environment; // "NAME=value": the unit's whole environment
};

// Starts `service` and waits for it to end, on signals of systemd, not by polling. The
// command's exit status (0 success; 1 when it failed without one, killed for instance);
// nullopt with `error` filled when systemd refused the unit or the bus went away meanwhile.
std::optional<int> runTransientService(bus::Connection& systemBus, const TransientService& service,
                                       std::string* error);

// Whether systemd runs the machine: the folder it makes at boot exists (below the
// installation root).
bool systemdRunning();

// The unit a process is in, from the text of /proc/<pid>/cgroup: the last component of its
// unified-hierarchy path ("0::/system.slice/x.service" gives "x.service"); empty without one.
std::string unitOfControlGroup(std::string_view cgroupText);

// The object path systemd gives the unit `name`.
std::string unitObjectPath(std::string_view name);

} // namespace units

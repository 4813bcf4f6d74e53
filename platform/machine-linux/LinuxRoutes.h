#pragma once

#include "platform/machine/MachineState.h"

#include <optional>
#include <string>

namespace machine::linuxroutes {

// The interface of the default route (IPv4 first, then IPv6; the lowest metric wins) as
// rtnetlink reports it: its name and whether its link is Ethernet.
struct DefaultInterface {
    std::string name;
    bool ethernet = false;
};
std::optional<DefaultInterface> defaultInterface();

// Wi-Fi when the default route's interface is wireless in the net class folder, wired when
// it is Ethernet, otherwise (no default route included) unknown.
NetworkType readNetworkType(const std::string& netFolder);

} // namespace machine::linuxroutes

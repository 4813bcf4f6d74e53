#pragma once

#include "common/VRNEnvironment.h"

#include <string_view>
#include <vector>

// "kbesim monitor [WAKE-IN-SECONDS WAKE-REASON]": follows every state of the simulated
// machine through the system events manager and prints each line the manager logs on
// standard output; answers every sleep announcement with a wake request that many seconds
// later, when given. Runs until it is killed. Returns the exit status for bad arguments.
int monitorCommand(const VRNEnvironment& environment, const std::vector<std::string_view>& args,
                   int (*usage)());

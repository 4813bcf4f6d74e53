#pragma once

#include "platform/machine/Machine.h"

#include <memory>
#include <string>

namespace machine {

// The machine a program runs on, as its main chooses it: the simulated machine when
// `platform` is "simulated", the real one when it is empty or "linux". Any other value is
// refused with nullptr and the reason in `error`.
std::shared_ptr<Machine> chooseMachine(const std::string& platform, std::string* error);

// chooseMachine with KEELBROOK_PLATFORM; a bad value is reported on standard error and the
// real machine is used.
std::shared_ptr<Machine> machineFromEnvironment();

} // namespace machine

#include "platform/machine-sim/MachineChoice.h"

#include "platform/machine-sim/SimulatedSources.h"
#include "platform/machine-linux/LinuxSources.h"

#include <cstdio>
#include <cstdlib>

namespace machine {

std::shared_ptr<Machine> chooseMachine(const std::string& platform, std::string* error) {
    if (platform == "simulated") {
        return createSimulatedMachine();
    }
    if (platform.empty() || platform == "linux") {
        return createLinuxMachine();
    }
    if (error) {
        *error = "KEELBROOK_PLATFORM must be \"simulated\" or \"linux\", not \"" + platform + "\"";
    }
    return nullptr;
}

std::shared_ptr<Machine> machineFromEnvironment() {
    const char* value = std::getenv("KEELBROOK_PLATFORM");
    std::string error;
    if (auto machine = chooseMachine(value ? value : "", &error)) {
        return machine;
    }
    std::fprintf(stderr, "%s: using the real machine.\n", error.c_str());
    return createLinuxMachine();
}

} // namespace machine

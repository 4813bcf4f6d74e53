#include "platform/machine-sim/Machine.h"

#include "platform/machine-sim/SimulatedSources.h"
#include "platform/machine/LinuxSources.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace machine {

bool isSimulated() {
    static const bool simulated = [] {
        const char* value = std::getenv("KEELBROOK_PLATFORM");
        const std::string_view platform = value ? value : "";
        if (platform == "simulated") {
            return true;
        }
        if (!platform.empty() && platform != "linux") {
            std::fprintf(stderr,
                         "KEELBROOK_PLATFORM must be \"simulated\" or \"linux\", not \"%s\": "
                         "using the real machine.\n",
                         value);
        }
        return false;
    }();
    return simulated;
}

Sources createSources(const SourceOptions& options) {
    return isSimulated() ? createSimulatedSources(options) : createLinuxSources(options);
}

PowerAssertions& sharedPowerAssertions() {
    static PowerAssertions* const assertions =
        (isSimulated() ? createSimulatedPowerAssertions() : createLinuxPowerAssertions()).release();
    return *assertions;
}

} // namespace machine

#pragma once

#include "platform/machine/Sources.h"

namespace machine {

// Whether this process runs on the simulated machine (KEELBROOK_PLATFORM=simulated) or on
// the real one (unset, or "linux"). Any other value is reported once on standard error and
// the real machine is used.
bool isSimulated();

// The sources of the machine this process runs on.
Sources createSources(const SourceOptions& options);

// The process's own power assertions on the machine it runs on (created on first use,
// never freed).
PowerAssertions& sharedPowerAssertions();

} // namespace machine

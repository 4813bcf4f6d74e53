#pragma once

#include "platform/machine/Machine.h"
#include "platform/machine/Sources.h"

#include <memory>

namespace machine {

// The simulated machine's sources: every state from its file in the simulated folder,
// watched with inotify, and this process's power assertions recorded there.
Sources createSimulatedSources(const SourceOptions& options);
std::unique_ptr<PowerAssertions> createSimulatedPowerAssertions();
// The simulated machine as a whole.
std::shared_ptr<Machine> createSimulatedMachine();

} // namespace machine

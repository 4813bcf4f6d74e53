#pragma once

// Environments for tests: the configuration a test needs (an older system, the simulated
// machine) built in the test itself, and the process's own for code that asks for shared
// instances.

#include "common/VRNEnvironment.h"
#include "common/VRNQueue.h"
#include "platform/dispatch/Runtime.h"

#include <cstdlib>
#include <memory>
#include <string_view>

namespace testsupport {

// `machine` (none by default; tests pass machine::createSimulatedMachine()), the feature
// level or `systemVersion` ("10.13.6" and the like), a notification centre of its own, the
// main queue and the runtime's clock.
inline VRNEnvironment environment(std::string_view systemVersion = {},
                                  std::shared_ptr<machine::Machine> machine = nullptr) {
    VRNEnvironment made;
    made.machine = std::move(machine);
    auto version = systemVersion.empty() ? VRNSystemVersionManager::fromProcess().version()
                                         : VRNOperatingSystemVersion::parse(systemVersion);
    if (!version) {
        std::abort(); // a test names only well-formed versions
    }
    made.versions = std::make_shared<const VRNSystemVersionManager>(*version);
    made.notifications = std::make_shared<VRNNotificationCenter>();
    made.logicQueue = VRNQueueMain();
    made.clock = &dispatch::Runtime::shared().clock();
    return made;
}

// Installs environment() as the process's the first time; later calls do nothing. Tests
// whose code asks for shared instances (logging's set-up among them) call it first.
inline const VRNEnvironment& installEnvironment() {
    if (!VRNEnvironment::installed()) {
        VRNEnvironment::install(environment());
    }
    return VRNEnvironment::shared();
}

} // namespace testsupport

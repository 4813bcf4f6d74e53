#include "common/VRNEnvironment.h"

#include "common/VRNQueue.h"
#include "platform/dispatch/Runtime.h"
#include "platform/paths/Paths.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

// Published once by install() and never freed, like the runtime's own objects.
std::atomic<const VRNEnvironment*> installedEnvironment{nullptr};

// A wiring mistake in a program's main: no way to go on.
[[noreturn]] void wiringFault(const char* text) {
    std::fprintf(stderr, "keelbrook: %s\n", text);
    std::abort();
}

} // namespace

VRNEnvironment VRNEnvironment::fromProcess(std::shared_ptr<machine::Machine> machine) {
    std::string error;
    auto root = paths::rootFromEnvironment(&error);
    if (!root) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(78);
    }
    VRNEnvironment environment;
    environment.installationRoot = *root;
    environment.machine = std::move(machine);
    environment.versions =
        std::make_shared<const VRNSystemVersionManager>(VRNSystemVersionManager::fromProcess());
    environment.notifications = std::make_shared<VRNNotificationCenter>();
    environment.logicQueue = VRNQueueMain();
    environment.clock = &dispatch::Runtime::shared().clock();
    return environment;
}

void VRNEnvironment::install(VRNEnvironment environment) {
    if (!environment.versions || !environment.notifications || !environment.logicQueue ||
        !environment.clock) {
        wiringFault("An environment needs its versions, notification centre, logic queue "
                    "and clock.");
    }
    const VRNEnvironment* expected = nullptr;
    auto* kept = new VRNEnvironment(std::move(environment));
    if (!installedEnvironment.compare_exchange_strong(expected, kept)) {
        wiringFault("The process's environment is installed once, by its main.");
    }
}

const VRNEnvironment& VRNEnvironment::shared() {
    const VRNEnvironment* environment = installedEnvironment.load(std::memory_order_acquire);
    if (environment == nullptr) {
        wiringFault("No environment installed: the program's main installs one before "
                    "anything asks for a shared instance.");
    }
    return *environment;
}

bool VRNEnvironment::installed() {
    return installedEnvironment.load(std::memory_order_acquire) != nullptr;
}

machine::Machine& VRNEnvironment::requireMachine() const {
    if (!machine) {
        wiringFault("This program runs without a machine, but machine state was asked for.");
    }
    return *machine;
}

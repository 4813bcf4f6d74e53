#pragma once

// What a program runs with, built once by its main (the composition root) and handed to
// every manager it creates: where the installation's files are, the machine it runs on, the
// system version it behaves as, its in-process notification centre, its logic queue and its
// clock. The sharedManager()-style accessors build their instances from the environment the
// main installed; tests build environments of their own (an older system, the simulated
// machine) and pass them to constructors, so several configurations live in one program.

#include "common/VRNNotificationCenter.h"
#include "common/VRNSystemVersionManager.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Queue.h"
#include "platform/machine/Machine.h"

#include <memory>
#include <string>

struct VRNEnvironment {
    // Prefixed to every installation path ("" for the machine's own locations).
    std::string installationRoot;
    // Null in programs that never read machine state.
    std::shared_ptr<machine::Machine> machine;
    std::shared_ptr<const VRNSystemVersionManager> versions;
    std::shared_ptr<VRNNotificationCenter> notifications;
    // The serial queue all product logic funnels into ("com.vornhal.main").
    dispatch::QueuePtr logicQueue;
    // The runtime's clock (the virtual clock in tests).
    const dispatch::Clock* clock = nullptr;

    // The environment a program gets from its surroundings: the installation root and the
    // system version from the process's variables (a bad value is reported on standard
    // error and ignored), a new notification centre, the main queue, the runtime's clock,
    // and the machine the main chose.
    static VRNEnvironment fromProcess(std::shared_ptr<machine::Machine> machine);

    // Makes `environment` the process's; once, before any shared instance is asked for. A
    // second call, or one with a field missing (other than the machine), ends the process
    // with a message naming the fault.
    static void install(VRNEnvironment environment);
    // The installed environment; asking before main installed one ends the process with a
    // message, since the shared instances could not be built.
    static const VRNEnvironment& shared();
    // Whether one is installed.
    static bool installed();

    // The machine, or the end of the process with a message when this program has none.
    machine::Machine& requireMachine() const;
};

// com.vornhal.keelbrook.scheduler: the root daemon. Started by systemd on the first client
// connection (socket activation) or at boot; exits by itself when it has nothing to do.

#include "common/VRNEnvironment.h"
#include "common/VRNLog.h"
#include "common/VRNProductVersion.h"
#include "common/VRNQueue.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Source.h"
#include "platform/machine-sim/MachineChoice.h"
#include "scheduler/daemon/KBEHelperMainController.h"
#include "scheduler/daemon/VRNTerminationManager.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>

int main(int, char** argv) {
    if (::getuid() != 0 && ::geteuid() != 0) {
        std::printf("%s must be run as root...\n", argv[0]);
        return 1;
    }
    // Passwords pass through this process on their way to PAM: never into a core file.
    ::prctl(PR_SET_DUMPABLE, 0);
    VRNEnvironment::install(VRNEnvironment::fromProcess(machine::machineFromEnvironment()));
    VRNLogInit("com.vornhal.keelbrook", "scheduler", VRNLogFacilityDaemon);
    VRNLog(VRNLogLevelInfo, "Running version %@.", std::to_string(VRNProductBuildNumber()));

    // SIGTERM ends the process through the termination manager, as an idle exit does.
    std::signal(SIGTERM, SIG_IGN);
    static const auto sigterm = dispatch::SignalSource::create(
        SIGTERM, VRNQueueMain(), [] { VRNTerminationManager::sharedManager().terminate(); });

    VRNQueueMain()->async([] { KBEHelperMainController::sharedController().start(); });
    dispatch::parkMainThread();
}

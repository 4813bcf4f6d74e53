// backupd: the backup engine's worker. Started by `tmutil startbackup` (as the unit
// keelbrook-backupd.service, or as tmutil's child where systemd is not running), it makes
// one backup and exits with its result.
//
//   backupd [--auto] [--rotation]   the options given
//   backupd --request               the options tmutil left in the request file

#include "common/VRNEnvironment.h"
#include "common/VRNLog.h"
#include "engine/backupd/Backup.h"
#include "engine/core/RunState.h"
#include "platform/machine-sim/MachineChoice.h"

#include <csignal>
#include <cstdio>
#include <string_view>
#include <sys/signalfd.h>

namespace {

constexpr int kUsageStatus = 64;

} // namespace

int main(int argc, char** argv) {
    backupd::Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--auto") {
            options.automatic = true;
        } else if (arg == "--rotation") {
            options.rotation = true;
        } else if (arg == "--request") {
            const engine::Request request = engine::readRequest();
            options.automatic = request.automatic;
            options.rotation = request.rotation;
        } else {
            std::fprintf(stderr, "usage: backupd [--auto] [--rotation] | --request\n");
            return kUsageStatus;
        }
    }

    // Stop requests (stopbackup, systemd stopping the unit, a terminal) arrive on a
    // descriptor, so that the run hands them to restic at a known point.
    sigset_t stopping;
    sigemptyset(&stopping);
    for (int number : {SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&stopping, number);
    }
    sigprocmask(SIG_BLOCK, &stopping, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    const int stopSignals = signalfd(-1, &stopping, SFD_CLOEXEC);
    if (stopSignals < 0) {
        std::perror("backupd: signalfd");
        return backupd::kResultNotStarted;
    }

    VRNEnvironment::install(VRNEnvironment::fromProcess(machine::machineFromEnvironment()));
    VRNLogInit("com.apple.TimeMachine", "backupd", VRNLogFacilityDaemon);
    return backupd::runBackup(options, stopSignals,
                              VRNEnvironment::shared().requireMachine().powerAssertions());
}

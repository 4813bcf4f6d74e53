#pragma once

// One backup run of the worker: restic backup (and, for a rotation, unlock and forget
// --prune) into the destination, its progress in the status file, its outcome in the
// preferences' "Destinations".

#include "platform/machine/Sources.h"

#include <string>

namespace backupd {

// The run's outcome: the worker's exit status and the "RESULT" it records.
inline constexpr int kResultSuccess = 0;
inline constexpr int kResultFailed = 1;         // restic reported a failure
inline constexpr int kResultNoDestination = 2;  // no repository chosen yet
inline constexpr int kResultCanceled = 4;       // stopped by stopbackup or SIGTERM
inline constexpr int kResultRotationFailed = 5; // backed up, but old backups were not thinned
inline constexpr int kResultNotStarted = 6;     // restic could not be run

struct Options {
    bool automatic = false;
    bool rotation = false;
};

// Runs one backup. `stopSignals` is a signalfd that becomes readable when the worker is
// asked to stop; `assertions` holds the machine awake while the run lasts. A second worker
// started while one runs returns kResultSuccess at once and changes nothing.
int runBackup(const Options& options, int stopSignals, machine::PowerAssertions& assertions);

} // namespace backupd

#pragma once

// What the backup worker tells about itself: a lock held while it runs (one backup at a
// time) and a status file with its phase, progress and, once finished, its result.

#include "platform/files/Files.h"
#include "platform/plist/Value.h"

#include <optional>
#include <string>
#include <sys/types.h>

namespace engine {

// Keys of the status file.
inline constexpr const char* kRunningKey = "Running";
inline constexpr const char* kPIDKey = "PID";
inline constexpr const char* kPhaseKey = "BackupPhase";
inline constexpr const char* kPercentKey = "Percent";
inline constexpr const char* kFilesDoneKey = "FilesDone";
inline constexpr const char* kTotalFilesKey = "TotalFiles";
inline constexpr const char* kBytesDoneKey = "BytesDone";
inline constexpr const char* kTotalBytesKey = "TotalBytes";
inline constexpr const char* kLastExitKey = "LastExitStatus";
inline constexpr const char* kLastMessageKey = "LastMessage";

// Takes the worker's lock without waiting: invalid when another worker holds it (`error`
// empty) or the lock file cannot be made (`error` filled). A record lock of the process, so
// that the holder's pid can be asked for; the worker opens the file only once.
files::Descriptor takeRunLock(std::string* error);
// The pid of the worker that holds the lock now, if one does.
std::optional<pid_t> runningWorker();

std::optional<plist::Dictionary> readStatus();
bool writeStatus(const plist::Dictionary& status, std::string* error);

// The options a worker started by systemd runs with (tmutil writes them first).
struct Request {
    bool automatic = false;
    bool rotation = false;
};
bool writeRequest(const Request& request, std::string* error);
Request readRequest();

} // namespace engine

#pragma once

// Where the engine keeps its files. Every location goes through platform/paths, so an
// installation root relocates all of them.

#include <cstdint>
#include <span>
#include <string>

namespace engine {

// The preferences domain "com.apple.TimeMachine" (0644: the application reads it).
std::string preferencesFile();
// The folder beside it that holds the engine's state and secrets (/var/lib/keelbrook-engine).
std::string stateFolder();
// The repository's password, root only (0600).
std::string passwordFile();
// The remote repository's credentials, root only (0600); absent when it needs none.
std::string credentialsFile();
// The running backup's progress and the last run's outcome, read by `tmutil status`.
std::string statusFile();
// Held (flock) by the backup worker while it runs: one backup at a time.
std::string lockFile();
// The options the worker runs with when systemd starts it (its unit takes no arguments).
std::string requestFile();
// The worker program.
std::string backupdProgram();
// restic's cache: the unit's CacheDirectory when systemd gives one, else its usual place.
std::string resticCacheFolder();
// The restic program.
std::string resticProgram();
// Whether systemd manages this machine (its runtime folder exists): then the worker runs
// as its own unit, otherwise as a child of tmutil.
bool systemdRunning();

// Creates `folder` and its parents with `mode`; false with `error` filled on failure.
bool makeFolders(const std::string& folder, unsigned mode, std::string* error);

// Replaces `file` atomically with `bytes`, its mode exactly `mode`, making its folder first.
bool writeFile(const std::string& file, std::span<const std::uint8_t> bytes, unsigned mode,
               std::string* error);

} // namespace engine

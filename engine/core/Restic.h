#pragma once

// restic, run as a program: the command lines the engine uses and what its exit statuses
// (restic 0.14) mean.

#include "engine/core/Child.h"

#include <string>
#include <vector>

namespace engine {

// restic 0.14's exit statuses.
inline constexpr int kResticSuccess = 0;
// The snapshot was made, but some source files could not be read.
inline constexpr int kResticIncomplete = 3;

// The rotation policy: hourly for a day, daily for a month, weekly after that.
inline const std::vector<std::string> kRotationPolicy = {
    "--keep-within-hourly", "24h", "--keep-within-daily", "1m", "--keep-weekly", "520"};

// "restic -r <repository> --password-file <file> --cache-dir <cache> <command...>", with
// the engine's password file unless another is named, and the stored credentials in its
// environment.
Command resticCommand(const std::string& repository, const std::vector<std::string>& command,
                      const std::string& password = {});

// Whether `destination` names a local folder (an absolute path or "local:<path>"), and
// that folder.
bool isLocalRepository(const std::string& destination, std::string* folder = nullptr);

// Whether `path` is `folder` or lies inside it (both absolute, compared by components).
bool isInside(const std::string& path, const std::string& folder);

// Whether restic's --exclude `pattern` excludes `path` (absolute): a pattern starting with
// "/" is matched, component by component with shell wildcards, against the path and each
// folder above it; any other pattern against each name in the path.
bool excludedBy(const std::string& path, const std::string& pattern);

// "2026-12-08T23:12:03.6277+01:00" → "2026-12-08-231203": the name a backup is listed by.
std::string backupName(const std::string& resticTime);

} // namespace engine

#include "upgrader/Upgrader.h"

#include "platform/files/Files.h"
#include "platform/plist/Plist.h"
#include "upgrader/LegacyJob.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace upgrader {

namespace {

// Created folders are never writable by group or others, whatever the installer's umask.
constexpr mode_t kFolderMode = 0755;
// The daemon reads only a settings file that group and others cannot write.
constexpr mode_t kSettingsMode = 0644;

// Whether something (a symbolic link included) may be at `path`: only a definite "no such
// file" counts as absent, so a file that cannot be looked at is never overwritten.
bool present(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0) {
        return true;
    }
    return errno != ENOENT && errno != ENOTDIR;
}

bool isFolder(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// `folder` with any missing parents; true when it exists as a folder afterwards.
bool createFolders(const std::string& folder) {
    if (isFolder(folder)) {
        return true;
    }
    const std::string parent = files::parentOf(folder);
    if (parent != folder && !createFolders(parent)) {
        return false;
    }
    return ::mkdir(folder.c_str(), kFolderMode) == 0 || (errno == EEXIST && isFolder(folder));
}

std::optional<plist::Dictionary> readLegacyJob(const std::string& path) {
    const auto bytes = files::readFile(path, kMaxLegacyJobSize);
    if (!bytes) {
        return std::nullopt;
    }
    std::optional<plist::Value> job = plist::read(*bytes, kMaxLegacyJobSize, nullptr);
    if (!job || !job->isDictionary()) {
        return std::nullopt;
    }
    return *job->asDictionary();
}

void writeSettings(const plist::Dictionary& settings, const std::string& path) {
    if (!createFolders(files::parentOf(path))) {
        return;
    }
    const auto bytes = plist::writeBinary(plist::Value(settings), nullptr);
    if (!bytes) {
        return;
    }
    files::ReplaceOptions options;
    options.mode = kSettingsMode;
    files::replaceFile(path, *bytes, options);
}

} // namespace

void upgrade(const Locations& locations) {
    const bool legacyJob = present(locations.legacyJob);
    const bool settings = present(locations.settings);
    // Without an older release's job, settings found here are left over from it and go; the
    // package runs the upgrader only where such a job exists. Settings beside the job are
    // the user's current ones and stay.
    if (!legacyJob) {
        if (settings) {
            ::unlink(locations.settings.c_str());
        }
        return;
    }
    if (settings) {
        return;
    }
    const auto job = readLegacyJob(locations.legacyJob);
    if (!job) {
        return;
    }
    if (const auto settings = settingsForLegacyJob(*job)) {
        writeSettings(*settings, locations.settings);
    }
}

} // namespace upgrader

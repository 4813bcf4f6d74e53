#include "engine/core/EngineFiles.h"

#include "platform/files/Files.h"
#include "platform/paths/Paths.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace engine {

std::string preferencesFile() {
    return paths::path("/Library/Preferences/com.apple.TimeMachine.plist");
}

std::string stateFolder() {
    return files::parentOf(preferencesFile());
}

std::string passwordFile() {
    return stateFolder() + "/repository-password";
}

std::string credentialsFile() {
    return stateFolder() + "/repository-credentials";
}

std::string statusFile() {
    return paths::path("/var/run/keelbrook/backupd-status.plist");
}

std::string lockFile() {
    return paths::path("/var/run/keelbrook/backupd.lock");
}

std::string requestFile() {
    return paths::path("/var/run/keelbrook/backupd-request.plist");
}

std::string backupdProgram() {
    return paths::path("/usr/libexec/keelbrook/backupd");
}

std::string resticCacheFolder() {
    // systemd names the unit's CacheDirectory here; it may list several, the first is ours.
    if (const char* given = std::getenv("CACHE_DIRECTORY"); given != nullptr && given[0] == '/') {
        const std::string folders = given;
        return folders.substr(0, folders.find(':'));
    }
    return paths::path("/var/cache/keelbrook-backupd");
}

std::string resticProgram() {
    return "/usr/bin/restic";
}

bool systemdRunning() {
    struct stat st {};
    return ::lstat(paths::path("/run/systemd/system").c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool makeFolders(const std::string& folder, unsigned mode, std::string* error) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            return true;
        }
        *error = folder + " is not a folder";
        return false;
    }
    const std::string parent = files::parentOf(folder);
    if (parent != folder && !makeFolders(parent, 0755, error)) {
        return false;
    }
    if (::mkdir(folder.c_str(), mode) != 0 && errno != EEXIST) {
        *error = "cannot create " + folder + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool writeFile(const std::string& file, std::span<const std::uint8_t> bytes, unsigned mode,
               std::string* error) {
    if (!makeFolders(files::parentOf(file), 0755, error)) {
        return false;
    }
    files::ReplaceOptions options;
    options.mode = static_cast<mode_t>(mode);
    files::Error failure;
    if (!files::replaceFile(file, bytes, options, &failure)) {
        *error = failure.text;
        return false;
    }
    return true;
}

} // namespace engine

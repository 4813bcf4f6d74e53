#include "engine/core/Restic.h"

#include "engine/core/Credentials.h"
#include "engine/core/EngineFiles.h"

#include <fnmatch.h>
#include <utility>

namespace engine {

Command resticCommand(const std::string& repository, const std::vector<std::string>& command,
                      const std::string& password) {
    std::vector<std::string> args = {resticProgram(),
                                     "-r",
                                     repository,
                                     "--password-file",
                                     password.empty() ? passwordFile() : password,
                                     "--cache-dir",
                                     resticCacheFolder()};
    args.insert(args.end(), command.begin(), command.end());
    return {std::move(args), readCredentials(credentialsFile())};
}

bool isLocalRepository(const std::string& destination, std::string* folder) {
    std::string path = destination;
    if (path.starts_with("local:")) {
        path.erase(0, 6);
    }
    if (!path.starts_with("/")) {
        return false;
    }
    if (folder != nullptr) {
        *folder = path;
    }
    return true;
}

bool isInside(const std::string& path, const std::string& folder) {
    std::string base = folder;
    while (base.size() > 1 && base.back() == '/') {
        base.pop_back();
    }
    if (base == "/") {
        return path.starts_with("/");
    }
    return path == base || (path.starts_with(base) && path[base.size()] == '/');
}

bool excludedBy(const std::string& path, const std::string& pattern) {
    if (pattern.empty()) {
        return false;
    }
    if (pattern.front() == '/') {
        // The path itself and every folder above it.
        for (std::size_t end = path.size(); end > 0; end = path.rfind('/', end - 1)) {
            if (::fnmatch(pattern.c_str(), path.substr(0, end).c_str(), FNM_PATHNAME) == 0) {
                return true;
            }
        }
        return false;
    }
    std::size_t start = 0;
    while (start < path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        if (end > start &&
            ::fnmatch(pattern.c_str(), path.substr(start, end - start).c_str(), 0) == 0) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

std::string backupName(const std::string& resticTime) {
    // restic writes RFC 3339 times: date, "T", hh:mm:ss, fraction, zone.
    if (resticTime.size() < 19 || resticTime[10] != 'T') {
        return resticTime;
    }
    return resticTime.substr(0, 10) + "-" + resticTime.substr(11, 2) + resticTime.substr(14, 2) +
           resticTime.substr(17, 2);
}

} // namespace engine

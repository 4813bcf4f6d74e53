#include "platform/paths/Paths.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <pwd.h>
#include <unistd.h>

#ifndef KEELBROOK_RELOCATABLE
#error "KEELBROOK_RELOCATABLE must be defined to 0 or 1"
#endif

namespace paths {

namespace {

constexpr int kConfigurationError = 78; // EX_CONFIG

struct Row {
    std::string_view product;
    std::string_view location;
};

// The product's paths and their places in the Debian file-system hierarchy.
constexpr std::array kLocations{
    Row{"/Library/Keelbrook/kbectl", "/usr/bin/kbectl"},
    Row{"/Library/Keelbrook/com.vornhal.keelbrook.scheduler",
        "/usr/libexec/keelbrook/com.vornhal.keelbrook.scheduler"},
    Row{"/Library/Keelbrook/com.vornhal.keelbrook.post-update",
        "/usr/libexec/keelbrook/com.vornhal.keelbrook.post-update"},
    Row{"/Library/Keelbrook/com.vornhal.keelbrook.upgrader",
        "/usr/libexec/keelbrook/com.vornhal.keelbrook.upgrader"},
    Row{"/Library/Keelbrook/uninstall.sh", "/usr/libexec/keelbrook/uninstall.sh"},
    Row{"/Library/Keelbrook", "/var/lib/keelbrook"},
    Row{"/Library/LaunchDaemons/com.vornhal.keelbrook.scheduler.plist",
        "/usr/lib/systemd/system/com.vornhal.keelbrook.scheduler.service"},
    Row{"/Library/LaunchDaemons/com.pellmoor.keelbrook.backup-auto.plist",
        "/etc/keelbrook/legacy/com.pellmoor.keelbrook.backup-auto.plist"},
    Row{"/Library/Logs/Keelbrook", "/var/log/keelbrook"},
    Row{"/Library/Preferences/com.apple.TimeMachine.plist",
        "/var/lib/keelbrook-engine/com.apple.TimeMachine.plist"},
    Row{"/Library/Preferences", "/var/lib/keelbrook/preferences"},
    Row{"/var/db/com.vornhal.authorization.plist", "/var/lib/keelbrook/authorization.plist"},
    Row{"/Applications/Keelbrook.app", "/usr/bin/keelbrook"},
    Row{"/usr/sbin/installer", "/usr/libexec/keelbrook/installer"},
    Row{"/usr/bin/log", "/usr/libexec/keelbrook/log"},
    Row{"/usr/bin/syslog", "/usr/libexec/keelbrook/syslog"},
    Row{"/var/run/keelbrook", "/run/keelbrook"},
    Row{"/var/run", "/run/keelbrook"},
};

enum class UserBase { State, Config };

struct UserRow {
    std::string_view relative; // below ~
    UserBase base;
    std::string_view location; // below the base folder
};

constexpr std::array kUserLocations{
    UserRow{"Library/Logs/Keelbrook", UserBase::State, "keelbrook/log"},
    UserRow{"Library/Preferences", UserBase::Config, "keelbrook"},
};

// Whether `path` is `prefix` or lies below it, comparing whole components.
bool coversComponents(std::string_view prefix, std::string_view path) {
    return path.starts_with(prefix) && (path.size() == prefix.size() || path[prefix.size()] == '/');
}

std::string joined(std::string_view folder, std::string_view relative) {
    std::string result(folder);
    if (!result.empty() && result.back() != '/' && !relative.empty()) {
        result += '/';
    }
    result += relative;
    return result;
}

std::string xdgFolder(const char* value, const std::string& home, std::string_view fallback) {
    if (value != nullptr && value[0] == '/') {
        return value;
    }
    return home.empty() ? std::string() : joined(home, fallback);
}

// Roots handed out so far; a re-read adds one, so references given out stay valid.
std::mutex rootLock;
std::deque<std::string> roots;
std::atomic<const std::string*> currentRoot{nullptr};

const std::string& root() {
    if (const std::string* value = currentRoot.load(std::memory_order_acquire)) {
        return *value;
    }
    std::lock_guard guard(rootLock);
    if (const std::string* value = currentRoot.load(std::memory_order_acquire)) {
        return *value;
    }
    std::string error;
    auto value = rootFromEnvironment(&error);
    if (!value) {
        std::fprintf(stderr, "keelbrook: %s\n", error.c_str());
        std::_Exit(kConfigurationError);
    }
    const std::string& kept = roots.emplace_back(std::move(*value));
    currentRoot.store(&kept, std::memory_order_release);
    return kept;
}

} // namespace

std::string linuxLocation(std::string_view productPath) {
    const Row* best = nullptr;
    for (const Row& row : kLocations) {
        if (coversComponents(row.product, productPath) &&
            (best == nullptr || row.product.size() > best->product.size())) {
            best = &row;
        }
    }
    if (best == nullptr) {
        return std::string(productPath);
    }
    return std::string(best->location) + std::string(productPath.substr(best->product.size()));
}

std::string locate(std::string_view productPath, std::string_view root) {
    if (!productPath.starts_with('/')) {
        return std::string(productPath);
    }
    return std::string(root) + linuxLocation(productPath);
}

UserFolders userFolders(const char* home, const char* stateHome, const char* configHome) {
    UserFolders folders;
    folders.home = home != nullptr ? home : "";
    while (folders.home.size() > 1 && folders.home.back() == '/') {
        folders.home.pop_back();
    }
    folders.stateHome = xdgFolder(stateHome, folders.home, ".local/state");
    folders.configHome = xdgFolder(configHome, folders.home, ".config");
    return folders;
}

std::string userLocation(std::string_view relative, const UserFolders& folders) {
    for (const UserRow& row : kUserLocations) {
        if (coversComponents(row.relative, relative)) {
            const std::string& base =
                row.base == UserBase::State ? folders.stateHome : folders.configHome;
            return joined(base, row.location) + std::string(relative.substr(row.relative.size()));
        }
    }
    return joined(folders.home, relative);
}

bool relocatable() {
    return KEELBROOK_RELOCATABLE != 0;
}

std::optional<std::string> rootFromEnvironment(std::string* error) {
    if (!relocatable()) {
        return std::string();
    }
    const char* env = std::getenv("KEELBROOK_ROOT");
    if (env == nullptr || *env == '\0') {
        return std::string();
    }
    std::string value(env);
    if (value.front() != '/') {
        if (error) {
            *error = "KEELBROOK_ROOT must be an absolute path, not \"" + value + "\"";
        }
        return std::nullopt;
    }
    while (value.size() > 1 && value.back() == '/') {
        value.pop_back();
    }
    if (value == "/") {
        value.clear();
    }
    return value;
}

std::string path(std::string_view productPath) {
    return locate(productPath, root());
}

std::string homePath(std::string_view relative) {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
        const passwd* pw = getpwuid(getuid());
        home = pw != nullptr ? pw->pw_dir : nullptr;
    }
    return userLocation(
        relative, userFolders(home, std::getenv("XDG_STATE_HOME"), std::getenv("XDG_CONFIG_HOME")));
}

void rereadRootForTesting() {
    std::lock_guard guard(rootLock);
    currentRoot.store(nullptr, std::memory_order_release);
}

} // namespace paths

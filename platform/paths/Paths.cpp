#include "platform/paths/Paths.h"

#include <cstdio>
#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace paths {

namespace {

constexpr int kConfigurationError = 78; // EX_CONFIG

const std::string& root() {
    // Read once: the environment of a running installation does not change under it.
    static const std::string* const value = [] {
        std::string error;
        auto r = rootFromEnvironment(&error);
        if (!r) {
            std::fprintf(stderr, "keelbrook: %s\n", error.c_str());
            std::_Exit(kConfigurationError);
        }
        return new std::string(std::move(*r));
    }();
    return *value;
}

} // namespace

std::optional<std::string> rootFromEnvironment(std::string* error) {
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

std::string path(std::string_view absolute) {
    return root() + std::string(absolute);
}

std::string homePath(std::string_view relative) {
    std::string home;
    if (const char* env = std::getenv("HOME"); env != nullptr && *env != '\0') {
        home = env;
    } else if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) {
        home = pw->pw_dir;
    }
    if (!home.empty() && home.back() != '/') {
        home += '/';
    }
    return home + std::string(relative);
}

} // namespace paths

#pragma once

#include "platform/paths/Paths.h"

#include <cstdlib>
#include <filesystem>
#include <string_view>

namespace testsupport {

// Makes `folder` this process's installation root: KEELBROOK_ROOT names it (and the paths
// read it again), HOME is "home" inside it and the XDG folders take their defaults below
// that, so neither the system's nor the user's own files are ever touched.
inline void useAsInstallationRoot(const std::filesystem::path& folder) {
    ::setenv("KEELBROOK_ROOT", folder.c_str(), 1);
    ::setenv("HOME", (folder / "home").c_str(), 1);
    ::unsetenv("XDG_STATE_HOME");
    ::unsetenv("XDG_CONFIG_HOME");
    paths::rereadRootForTesting();
}

// Where the product's `productPath` lies inside the installation root `folder`.
inline std::filesystem::path locationIn(const std::filesystem::path& folder,
                                        std::string_view productPath) {
    return paths::locate(productPath, folder.string());
}

} // namespace testsupport

#pragma once

// Installs an update package: validates it as the daemon does (the maker's team), extracts
// its Debian packages into a private folder with their checksums checked, refuses any that
// is not the product's or not newer than what is installed, and installs them in one
// non-interactive dpkg call whose output goes to the log.

#include "scheduler/updater/VRNInstallerPackage.h"

#include <string>

namespace installer {

inline constexpr const char* kTeamIdentifier = "K7QX2ZM4VB";

// The package's files and the Debian packages they must be.
inline constexpr const char* kPayload = "Payload";
inline constexpr const char* kApplicationPayload = "Payload-app";
inline constexpr const char* kProductPackage = "keelbrook";
inline constexpr const char* kApplicationPackage = "keelbrook-app";

struct Request {
    std::string packagePath;
    // The installation root ("" for the machine itself): dpkg installs below it, with its
    // database and log in the root's /var/lib/dpkg and /var/log/dpkg.log.
    std::string root;
    VRNInstallerPackageTrust trust;
};

// True when the packages are installed, with a line naming them in `message`. Otherwise
// false with one line saying why.
bool install(const Request& request, std::string* message);

} // namespace installer

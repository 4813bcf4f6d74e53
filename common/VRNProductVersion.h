#pragma once

// The product's version, from the build (the project's one version place): what the daemon
// reports, what kbectl and the application show, what updates are compared with.

#include <cstdint>
#include <string>

// "1.0.0" (the information dictionary's "CFBundleShortVersionString").
const std::string& VRNProductShortVersion();
// The build number (its "CFBundleVersion"), which grows with every release.
std::int64_t VRNProductBuildNumber();

#pragma once

// The installer package signature check's error domain and codes. Code 0 carries "path".

inline constexpr long VRNInstallerPackageErrorUnreadable = 0;
inline constexpr long VRNInstallerPackageErrorNotSigned = 1;
inline constexpr long VRNInstallerPackageErrorInvalidSignature = 2;

// "com.vornhal.installer-package"; defined beside the domain's table of texts.
extern const char* const VRNInstallerPackageErrorDomain;

#pragma once

// The installer package signature check's error domain and codes, beside the check that
// raises them (VRNInstallerPackage). Code 0 carries "path".

inline constexpr long VRNInstallerPackageErrorCannotRead = 0;
inline constexpr long VRNInstallerPackageErrorNotSigned = 1;
inline constexpr long VRNInstallerPackageErrorInvalidSignature = 2;

// "com.vornhal.installer-package"; defined beside the domain's table of texts.
extern const char* const VRNInstallerPackageErrorDomain;

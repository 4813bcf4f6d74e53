#include "scheduler/updater/VRNInstallerPackageErrors.h"

#include "common/VRNErrorTable.h"
#include "common/VRNLog.h"

const char* const VRNInstallerPackageErrorDomain = "com.vornhal.installer-package";

namespace {

const VRNErrorCode codes[] = {
    {VRNInstallerPackageErrorCannotRead, VRNLogLevelError, nullptr,
     [](const char*, const VRNErrorInfo& info) {
         return VRNErrorText("Could not read installer package at path '%@'.", info.object("path"));
     }},
    {VRNInstallerPackageErrorNotSigned, VRNLogLevelError, "Installer package is not signed."},
    {VRNInstallerPackageErrorInvalidSignature, VRNLogLevelError,
     "Installer package signature is invalid."},
};

const VRNErrorTableRegistration registration{{VRNInstallerPackageErrorDomain, codes}};

} // namespace

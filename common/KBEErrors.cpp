#include "common/KBEErrors.h"

#include "common/VRNErrorTable.h"
#include "common/VRNLog.h"

const char* const KBEErrorDomain = "com.vornhal.keelbrook";

namespace {

const VRNErrorCode codes[] = {
    {KBEErrorBackupRunning, VRNLogLevelDefault, "A backup operation is currently running."},
    {KBEErrorUpdateRunning, VRNLogLevelDefault, "An update operation is currently running."},
    {KBEErrorPeersConnected, VRNLogLevelDefault, "Peers are connected."},
    {KBEErrorMissingValue, VRNLogLevelError, nullptr,
     [](const char*, const VRNErrorInfo& info) {
         return VRNErrorText("Missing value for key: '%@'.", info.object("key"));
     }},
    {KBEErrorWrongType, VRNLogLevelError, nullptr,
     [](const char*, const VRNErrorInfo& info) {
         return VRNErrorText("Wrong type for key: '%@', expected: '%@'.", info.object("key"),
                             info.object("expected"));
     }},
    {KBEErrorUnknownKey, VRNLogLevelError, nullptr,
     [](const char*, const VRNErrorInfo& info) {
         return VRNErrorText("Unknown key: '%@'.", info.object("key"));
     }},
};

const VRNErrorTableRegistration registration{{KBEErrorDomain, codes}};

} // namespace

#include "common/VRNAuthorizationErrors.h"

#include "common/VRNErrorTable.h"
#include "common/VRNLog.h"

const char* const VRNAuthorizationErrorDomain = "com.vornhal.authorization";

namespace {

// The rights joined with ", " (each as its description).
std::string joinedRights(const plist::Value* rights) {
    if (rights == nullptr || !rights->isArray()) {
        return plist::description(rights);
    }
    std::string joined;
    for (const plist::Value& right : *rights->asArray()) {
        if (!joined.empty()) {
            joined += ", ";
        }
        joined += plist::description(right);
    }
    return joined;
}

const VRNErrorCode codes[] = {
    {VRNAuthorizationErrorCanceled, VRNLogLevelInfo, "User canceled authentication."},
    {VRNAuthorizationErrorCreateFailed, VRNLogLevelError, nullptr,
     [](const char*, const VRNErrorInfo& info) {
         return VRNErrorText("Could not create authorization: %@.", info.object("status"));
     }},
    {VRNAuthorizationErrorMakeExternalFormFailed, VRNLogLevelError, nullptr,
     [](const char*, const VRNErrorInfo& info) {
         return VRNErrorText("Could not make external form: %@.", info.object("status"));
     }},
    {VRNAuthorizationErrorCreateFromExternalFormFailed, VRNLogLevelError, nullptr,
     [](const char*, const VRNErrorInfo& info) {
         return VRNErrorText("Could not create from external form: %@.", info.object("status"));
     }},
    {VRNAuthorizationErrorSetRightsFailed, VRNLogLevelError, nullptr,
     [](const char*, const VRNErrorInfo& info) {
         const plist::Value* status = info.object("status");
         const std::string rights = joinedRights(info.object("rights"));
         return status ? VRNErrorText("Could not set rights (%@): %@.", status, rights)
                       : VRNErrorText("Could not set rights: %@.", rights);
     }},
    // The rights as the array itself here, not joined.
    {VRNAuthorizationErrorValidateRightsFailed, VRNLogLevelError, nullptr,
     [](const char*, const VRNErrorInfo& info) {
         return VRNErrorText("Could not validate rights: %@.", info.object("rights"));
     }},
    {VRNAuthorizationErrorAuthorizeRightsFailed, VRNLogLevelError, nullptr,
     [](const char*, const VRNErrorInfo& info) {
         return VRNErrorText("Could not authorize rights: %@.", info.object("rights"));
     }},
};

const VRNErrorTableRegistration registration{{VRNAuthorizationErrorDomain, codes}};

} // namespace

#include "common/VRNMessagerErrors.h"

#include "common/VRNErrorTable.h"
#include "common/VRNLog.h"

const char* const VRNMessagerErrorDomain = "com.vornhal.messager";

namespace {

unsigned long messageOf(const VRNErrorInfo& info) {
    return static_cast<unsigned long>(info.integer("message"));
}

bool hasMessage(const VRNErrorInfo& info) {
    return info.object("message") != nullptr;
}

const VRNErrorCode codes[] = {
    {VRNMessagerErrorAuthorizeFailed, VRNLogLevelError, nullptr,
     [](const char*, const VRNErrorInfo& info) {
         return VRNErrorText("Could not authorize message (%lu).", messageOf(info));
     }},
    {VRNMessagerErrorAuthorizationDataMissing, VRNLogLevelError, nullptr,
     [](const char*, const VRNErrorInfo& info) {
         return VRNErrorText("Authorization data is missing for message (%lu).", messageOf(info));
     }},
    {VRNMessagerErrorSerializeFailed, VRNLogLevelError, nullptr,
     [](const char*, const VRNErrorInfo& info) {
         return VRNErrorText("Could not serialize message (%lu), payload: %@.", messageOf(info),
                             info.object("payload"));
     }},
    {VRNMessagerErrorDeserializeFailed, VRNLogLevelError, nullptr,
     [](const char*, const VRNErrorInfo& info) {
         return VRNErrorText("Could not deserialize message (%lu).", messageOf(info));
     }},
    {VRNMessagerErrorSerializeReplyFailed, VRNLogLevelError, nullptr,
     [](const char*, const VRNErrorInfo& info) {
         return VRNErrorText("Could not serialize reply for message (%lu), reply: %@.",
                             messageOf(info), info.object("reply"));
     }},
    {VRNMessagerErrorDeserializeReplyFailed, VRNLogLevelError, nullptr,
     [](const char*, const VRNErrorInfo& info) {
         return VRNErrorText("Could not deserialize reply for message (%lu).", messageOf(info));
     }},
    {VRNMessagerErrorUnarchiveReplyErrorFailed, VRNLogLevelError, nullptr,
     [](const char*, const VRNErrorInfo& info) {
         return VRNErrorText("Could not unarchive reply error for message (%lu).", messageOf(info));
     }},
    // Without "message" the connection itself failed, not one message.
    {VRNMessagerErrorServiceUnavailable, VRNLogLevelDefault, nullptr,
     [](const char*, const VRNErrorInfo& info) {
         return hasMessage(info)
                    ? VRNErrorText(
                          "Could not send message (%lu), the service is not available (%@).",
                          messageOf(info), info.object("service"))
                    : VRNErrorText("The service is not available (%@).", info.object("service"));
     }},
    {VRNMessagerErrorServiceDisappeared, VRNLogLevelDefault, nullptr,
     [](const char*, const VRNErrorInfo& info) {
         return hasMessage(info)
                    ? VRNErrorText(
                          "Could not send message (%lu), the service disappeared (crash?) (%@).",
                          messageOf(info), info.object("service"))
                    : VRNErrorText("The service disappeared (%@).", info.object("service"));
     }},
    {VRNMessagerErrorUnknownMessage, VRNLogLevelError, nullptr,
     [](const char*, const VRNErrorInfo& info) {
         return VRNErrorText("Unknown message (%lu).", messageOf(info));
     }},
};

const VRNErrorTableRegistration registration{{VRNMessagerErrorDomain, codes}};

} // namespace

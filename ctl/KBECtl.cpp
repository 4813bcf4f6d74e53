#include "ctl/KBECtl.h"

#include "common/VRNLog.h"

void KBECtl::exit(int status) {
    throw KBECtlExit{status};
}

std::optional<plist::Dictionary> KBECtl::sendQuietly(long message,
                                                     const std::optional<plist::Value>& payload,
                                                     std::optional<VRNError>* error) {
    if (messager.requiresAuthorizationForMessage(message) && realUser != 0) {
        std::fputs("This command requires root privileges.\n", err);
        exit(1);
    }
    return messager.sendSynchronousMessage(message, payload, error);
}

std::optional<plist::Dictionary> KBECtl::send(long message,
                                              const std::optional<plist::Value>& payload,
                                              std::optional<VRNError>* error) {
    std::optional<VRNError> failure;
    auto reply = sendQuietly(message, payload, &failure);
    if (!reply && failure) {
        const int level = VRNError::logLevelForError(*failure);
        const std::string text = VRNError::localizedDescriptionForError(*failure) + "\n";
        if (level == VRNLogLevelError) {
            std::fputs(text.c_str(), err);
        } else if (level != VRNLogLevelDebug) {
            std::fputs(text.c_str(), out);
        }
    }
    if (error) {
        *error = std::move(failure);
    }
    return reply;
}

#pragma once

#include "common/VRNError.h"
#include "platform/plist/Value.h"

#include <optional>

// What kbectl asks of the product's shared messager: whether a message needs authorization,
// and one synchronous request. The reply is a dictionary (possibly empty); none means the
// request failed, with the reason in `error`.
class KBECtlMessageSending {
public:
    virtual ~KBECtlMessageSending() = default;
    virtual bool requiresAuthorizationForMessage(long message) const = 0;
    virtual std::optional<plist::Dictionary>
    sendSynchronousMessage(long message, const std::optional<plist::Value>& payload,
                           std::optional<VRNError>* error) = 0;
};

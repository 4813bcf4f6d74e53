#pragma once

// The client side of the request/reply protocol with the daemon: numbered messages with an
// optional property-list payload and, when the message needs rights, the external form of
// an authorization; replies are a property-list object or an error.

#include "common/VRNError.h"
#include "common/VRNMessagerAuthorization.h"
#include "common/VRNXPCClient.h"
#include "platform/dispatch/Queue.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class VRNMessagerClient;

class VRNMessagerClientDelegate {
public:
    virtual ~VRNMessagerClientDelegate() = default;
    // The rights `message` needs, empty when none.
    virtual std::vector<std::string>
    messagerAuthorizationRightsForMessage(VRNMessagerClient& messager, long message) = 0;
};

// The reply object, or the error.
using VRNMessagerReplyHandler =
    std::function<void(std::optional<plist::Value> reply, std::optional<VRNError> error)>;

class VRNMessagerClient {
public:
    // Connects to the service's socket in the process's installation on first use.
    VRNMessagerClient(const std::string& serviceName,
                      std::weak_ptr<VRNMessagerClientDelegate> delegate,
                      VRNMessagerClientAuthorization& authorization);
    // The same with the service at `socketPath` (tests).
    VRNMessagerClient(const std::string& serviceName, std::string socketPath,
                      std::weak_ptr<VRNMessagerClientDelegate> delegate,
                      VRNMessagerClientAuthorization& authorization);

    const std::string& serviceName() const { return _XPCClient->serviceName(); }

    // One-way: true when the request could be built and was handed to the transport.
    bool sendMessage(long message, const std::optional<plist::Value>& payload,
                     std::optional<VRNError>* error);
    // `handler` gets the outcome on `queue`; a request that cannot be built calls it at once
    // on the calling thread.
    void sendMessage(long message, const std::optional<plist::Value>& payload,
                     dispatch::QueuePtr queue, VRNMessagerReplyHandler handler);
    // Blocks until the reply or a failure.
    std::optional<plist::Value> sendSynchronousMessage(long message,
                                                       const std::optional<plist::Value>& payload,
                                                       std::optional<VRNError>* error);
    void cancel();

    // The steps, also used on their own.
    std::optional<plist::Dictionary>
    XPCMessageForMessage(long message, const std::optional<plist::Value>& payload,
                         std::optional<VRNError>* error);
    std::optional<plist::Value> replyForMessage(long message, const VRNXPCReply& reply,
                                                std::optional<VRNError>* error);
    std::optional<plist::Value> payloadForMessage(long message, const plist::Dictionary& reply,
                                                  std::optional<VRNError>* error);
    // The error a reply carries under "error" (code 6 when it cannot be read), none without.
    std::optional<VRNError> errorForMessage(long message, const plist::Dictionary& reply);

private:
    std::shared_ptr<VRNXPCClient> _XPCClient;
    std::weak_ptr<VRNMessagerClientDelegate> _delegate;
    VRNMessagerClientAuthorization& _authorization;
};

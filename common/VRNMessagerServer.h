#pragma once

// The daemon's side of the request/reply protocol: decodes requests, checks the rights a
// message needs against the authorization the peer sent, hands the message to the owner
// and sends its reply or error back.

#include "common/VRNError.h"
#include "common/VRNMessagerAuthorization.h"
#include "common/VRNXPCServer.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class VRNMessagerServer;

// The reply object (none for an empty reply) or the error; call it once, from any queue.
using VRNMessagerServerReplyHandler =
    std::function<void(std::optional<plist::Value> reply, std::optional<VRNError> error)>;

class VRNMessagerServerDelegate {
public:
    virtual ~VRNMessagerServerDelegate() = default;
    virtual bool
    messagerShouldAcceptConnection(VRNMessagerServer& messager,
                                   const std::shared_ptr<VRNXPCPeerConnection>& peer) = 0;
    virtual void messagerPeerDidDisconnect(VRNMessagerServer& messager,
                                           const std::shared_ptr<VRNXPCPeerConnection>& peer) = 0;
    virtual std::vector<std::string>
    messagerAuthorizationRightsForMessage(VRNMessagerServer& messager, long message) = 0;
    // Whether the owner handles `message` at all; the server answers an unknown number
    // itself with VRNMessagerErrorUnknownMessage.
    virtual bool messagerKnowsMessage(VRNMessagerServer& messager, long message) = 0;
    virtual void messagerHandleMessage(VRNMessagerServer& messager, long message,
                                       const plist::Value& payload,
                                       const std::shared_ptr<VRNXPCPeerConnection>& peer,
                                       VRNMessagerServerReplyHandler replyHandler) = 0;
};

class VRNMessagerServer final : public VRNXPCServerDelegate,
                                public std::enable_shared_from_this<VRNMessagerServer> {
public:
    // A server on the service's socket in the process's installation, or with `options`.
    static std::shared_ptr<VRNMessagerServer>
    create(const std::string& serviceName, dispatch::QueuePtr queue,
           std::weak_ptr<VRNMessagerServerDelegate> delegate,
           VRNMessagerServerAuthorization& authorization);
    static std::shared_ptr<VRNMessagerServer>
    create(const std::string& serviceName, dispatch::QueuePtr queue,
           std::weak_ptr<VRNMessagerServerDelegate> delegate,
           VRNMessagerServerAuthorization& authorization, VRNXPCServerOptions options);

    bool start() { return _XPCServer->start(); }
    void stop() { _XPCServer->stop(); }
    const std::string& serviceName() const { return _XPCServer->serviceName(); }
    VRNXPCServer& XPCServer() { return *_XPCServer; }

    // Sends the outcome of `request`: nothing for a one-way request (a reply object for one
    // is logged as ignored).
    void sendReply(std::optional<plist::Value> reply, std::optional<VRNError> error, long message,
                   const VRNXPCMessage& request, const std::shared_ptr<VRNXPCPeerConnection>& peer);

    bool
    XPCServerShouldAcceptConnection(VRNXPCServer& server,
                                    const std::shared_ptr<VRNXPCPeerConnection>& peer) override;
    void XPCServerHandleMessage(VRNXPCServer& server, const VRNXPCMessage& message,
                                const std::shared_ptr<VRNXPCPeerConnection>& peer) override;
    void XPCServerPeerDidDisconnect(VRNXPCServer& server,
                                    const std::shared_ptr<VRNXPCPeerConnection>& peer) override;

    VRNMessagerServer(std::weak_ptr<VRNMessagerServerDelegate> delegate,
                      VRNMessagerServerAuthorization& authorization);

private:
    void _handleXPCMessage(const VRNXPCMessage& message,
                           const std::shared_ptr<VRNXPCPeerConnection>& peer);

    std::shared_ptr<VRNXPCServer> _XPCServer;
    std::weak_ptr<VRNMessagerServerDelegate> _delegate;
    VRNMessagerServerAuthorization& _authorization;
};

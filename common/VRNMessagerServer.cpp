#include "common/VRNMessagerServer.h"

#include "common/VRNLog.h"
#include "common/VRNMessagerCoding.h"
#include "common/VRNMessagerErrors.h"

std::shared_ptr<VRNMessagerServer>
VRNMessagerServer::create(const std::string& serviceName, dispatch::QueuePtr queue,
                          std::weak_ptr<VRNMessagerServerDelegate> delegate,
                          VRNMessagerServerAuthorization& authorization) {
    auto server = std::make_shared<VRNMessagerServer>(std::move(delegate), authorization);
    server->_XPCServer = std::make_shared<VRNXPCServer>(serviceName, std::move(queue), server);
    return server;
}

std::shared_ptr<VRNMessagerServer>
VRNMessagerServer::create(const std::string& serviceName, dispatch::QueuePtr queue,
                          std::weak_ptr<VRNMessagerServerDelegate> delegate,
                          VRNMessagerServerAuthorization& authorization,
                          VRNXPCServerOptions options) {
    auto server = std::make_shared<VRNMessagerServer>(std::move(delegate), authorization);
    server->_XPCServer =
        std::make_shared<VRNXPCServer>(serviceName, std::move(queue), server, std::move(options));
    return server;
}

VRNMessagerServer::VRNMessagerServer(std::weak_ptr<VRNMessagerServerDelegate> delegate,
                                     VRNMessagerServerAuthorization& authorization)
    : _delegate(std::move(delegate)), _authorization(authorization) {}

bool VRNMessagerServer::XPCServerShouldAcceptConnection(
    VRNXPCServer&, const std::shared_ptr<VRNXPCPeerConnection>& peer) {
    const auto delegate = _delegate.lock();
    return delegate && delegate->messagerShouldAcceptConnection(*this, peer);
}

void VRNMessagerServer::XPCServerPeerDidDisconnect(
    VRNXPCServer&, const std::shared_ptr<VRNXPCPeerConnection>& peer) {
    if (const auto delegate = _delegate.lock()) {
        delegate->messagerPeerDidDisconnect(*this, peer);
    }
}

void VRNMessagerServer::XPCServerHandleMessage(VRNXPCServer&, const VRNXPCMessage& message,
                                               const std::shared_ptr<VRNXPCPeerConnection>& peer) {
    _handleXPCMessage(message, peer);
}

void VRNMessagerServer::_handleXPCMessage(const VRNXPCMessage& request,
                                          const std::shared_ptr<VRNXPCPeerConnection>& peer) {
    const plist::Dictionary& dictionary = request.dictionary;
    const auto number = dictionary.find(kVRNMessagerMessageKey);
    const long message = number == dictionary.end() ? 0 : number->second.asInteger().value_or(0);
    const auto fail = [&](long code, std::optional<VRNError> underlying) {
        VRNUserInfo info(VRNMessagerInfo(message));
        if (underlying) {
            info = VRNUserInfo(VRNMessagerInfo(message), *underlying);
        }
        sendReply(std::nullopt, VRNError::errorWithDomain(VRNMessagerErrorDomain, code, info),
                  message, request, peer);
    };

    plist::Value payload = plist::Value(plist::Dictionary{});
    if (const auto bytes = dictionary.find(kVRNMessagerPayloadKey); bytes != dictionary.end()) {
        std::string reason = "the payload is not data";
        std::optional<plist::Value> decoded;
        if (const plist::Data* data = bytes->second.asData()) {
            decoded = VRNMessagerDecodeObject(*data, &reason);
        }
        if (!decoded) {
            fail(VRNMessagerErrorDeserializeFailed, VRNMessagerReasonError(reason));
            return;
        }
        payload = std::move(*decoded);
    }

    const auto delegate = _delegate.lock();
    if (!delegate) {
        return;
    }
    const std::vector<std::string> rights =
        delegate->messagerAuthorizationRightsForMessage(*this, message);
    if (!rights.empty()) {
        const auto auth = dictionary.find(kVRNMessagerAuthKey);
        const plist::Data* blob = auth == dictionary.end() ? nullptr : auth->second.asData();
        if (blob == nullptr) {
            fail(VRNMessagerErrorAuthorizationDataMissing, std::nullopt);
            return;
        }
        std::optional<VRNError> refusal;
        if (!_authorization.validateAuthorizationExternalData(*blob, rights, peer->userIdentifier(),
                                                              &refusal)) {
            fail(VRNMessagerErrorAuthorizeFailed, std::move(refusal));
            return;
        }
    }
    if (!delegate->messagerKnowsMessage(*this, message)) {
        fail(VRNMessagerErrorUnknownMessage, std::nullopt);
        return;
    }
    std::weak_ptr<VRNMessagerServer> weakSelf = weak_from_this();
    delegate->messagerHandleMessage(
        *this, message, payload, peer,
        [weakSelf, message, request, peer](std::optional<plist::Value> reply,
                                           std::optional<VRNError> error) {
            if (const auto self = weakSelf.lock()) {
                self->sendReply(std::move(reply), std::move(error), message, request, peer);
            }
        });
}

void VRNMessagerServer::sendReply(std::optional<plist::Value> reply, std::optional<VRNError> error,
                                  long message, const VRNXPCMessage& request,
                                  const std::shared_ptr<VRNXPCPeerConnection>& peer) {
    if (!request.wantsReply) {
        if (reply) {
            VRNLog(VRNLogLevelError, "Message reply ignored: %@", *reply);
        }
        return;
    }
    plist::Dictionary answer;
    if (reply && !error) {
        std::string reason;
        if (auto bytes = VRNMessagerEncodeObject(*reply, &reason)) {
            answer.emplace(kVRNMessagerPayloadKey, plist::Value(std::move(*bytes)));
        } else {
            auto info = VRNMessagerInfo(message);
            info.emplace("reply", plist::Value(plist::description(*reply)));
            error = VRNError::errorWithDomain(VRNMessagerErrorDomain,
                                              VRNMessagerErrorSerializeReplyFailed,
                                              VRNUserInfo(info, VRNMessagerReasonError(reason)));
        }
    }
    if (error) {
        std::string reason;
        if (auto archive = VRNMessagerArchiveError(*error, &reason)) {
            answer.emplace(kVRNMessagerErrorKey, plist::Value(std::move(*archive)));
        } else {
            // An error that cannot be archived is not passed off as a success.
            auto substitute = VRNError::errorWithDomain(
                VRNMessagerErrorDomain, VRNMessagerErrorSerializeReplyFailed,
                VRNUserInfo({{"message", plist::Value(static_cast<std::int64_t>(message))},
                             {"reply", plist::Value(error->description())}}));
            if (auto fallback = VRNMessagerArchiveError(substitute, &reason)) {
                answer.emplace(kVRNMessagerErrorKey, plist::Value(std::move(*fallback)));
            }
        }
    }
    peer->sendReply(request, std::move(answer));
}

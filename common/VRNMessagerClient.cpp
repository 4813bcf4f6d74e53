#include "common/VRNMessagerClient.h"

#include "common/VRNMessagerCoding.h"
#include "common/VRNMessagerErrors.h"

VRNMessagerClient::VRNMessagerClient(const std::string& serviceName,
                                     std::weak_ptr<VRNMessagerClientDelegate> delegate,
                                     VRNMessagerClientAuthorization& authorization)
    : _XPCClient(std::make_shared<VRNXPCClient>(serviceName)), _delegate(std::move(delegate)),
      _authorization(authorization) {}

VRNMessagerClient::VRNMessagerClient(const std::string& serviceName, std::string socketPath,
                                     std::weak_ptr<VRNMessagerClientDelegate> delegate,
                                     VRNMessagerClientAuthorization& authorization)
    : _XPCClient(std::make_shared<VRNXPCClient>(serviceName, std::move(socketPath))),
      _delegate(std::move(delegate)), _authorization(authorization) {}

std::optional<plist::Dictionary>
VRNMessagerClient::XPCMessageForMessage(long message, const std::optional<plist::Value>& payload,
                                        std::optional<VRNError>* error) {
    plist::Dictionary request{
        {kVRNMessagerMessageKey, plist::Value(static_cast<std::int64_t>(message))}};
    if (payload) {
        std::string reason;
        auto bytes = VRNMessagerEncodeObject(*payload, &reason);
        if (!bytes) {
            auto info = VRNMessagerInfo(message);
            info.emplace("payload", plist::Value(plist::description(*payload)));
            *error =
                VRNError::errorWithDomain(VRNMessagerErrorDomain, VRNMessagerErrorSerializeFailed,
                                          VRNUserInfo(info, VRNMessagerReasonError(reason)));
            return std::nullopt;
        }
        request.emplace(kVRNMessagerPayloadKey, plist::Value(std::move(*bytes)));
    }
    const auto delegate = _delegate.lock();
    const std::vector<std::string> rights =
        delegate ? delegate->messagerAuthorizationRightsForMessage(*this, message)
                 : std::vector<std::string>{};
    if (!rights.empty()) {
        std::optional<VRNError> authorizationError;
        auto blob = _authorization.authorizationExternalDataWithRights(rights, &authorizationError);
        if (!blob) {
            VRNUserInfo info(VRNMessagerInfo(message));
            if (authorizationError) {
                info = VRNUserInfo(VRNMessagerInfo(message), *authorizationError);
            }
            *error = VRNError::errorWithDomain(VRNMessagerErrorDomain,
                                               VRNMessagerErrorAuthorizeFailed, std::move(info));
            return std::nullopt;
        }
        request.emplace(kVRNMessagerAuthKey, plist::Value(std::move(*blob)));
    }
    return request;
}

namespace {

std::optional<VRNError> errorInReply(long message, const plist::Dictionary& reply) {
    const auto found = reply.find(kVRNMessagerErrorKey);
    if (found == reply.end()) {
        return std::nullopt;
    }
    std::string reason = "the error is not data";
    if (const plist::Data* bytes = found->second.asData()) {
        if (auto error = VRNMessagerUnarchiveError(*bytes, &reason)) {
            return error;
        }
    }
    return VRNError::errorWithDomain(
        VRNMessagerErrorDomain, VRNMessagerErrorUnarchiveReplyErrorFailed,
        VRNUserInfo(VRNMessagerInfo(message), VRNMessagerReasonError(reason)));
}

std::optional<plist::Value> payloadInReply(long message, const plist::Dictionary& reply,
                                           std::optional<VRNError>* error) {
    const auto found = reply.find(kVRNMessagerPayloadKey);
    if (found == reply.end()) {
        return plist::Value(plist::Dictionary{});
    }
    std::string reason = "the payload is not data";
    if (const plist::Data* bytes = found->second.asData()) {
        if (auto object = VRNMessagerDecodeObject(*bytes, &reason)) {
            return object;
        }
    }
    *error = VRNError::errorWithDomain(
        VRNMessagerErrorDomain, VRNMessagerErrorDeserializeReplyFailed,
        VRNUserInfo(VRNMessagerInfo(message), VRNMessagerReasonError(reason)));
    return std::nullopt;
}

std::optional<plist::Value> decodeReply(const std::string& service, long message,
                                        const VRNXPCReply& reply, std::optional<VRNError>* error) {
    if (const auto* failure = std::get_if<VRNXPCError>(&reply)) {
        auto info = VRNMessagerInfo(message);
        info.emplace("service", plist::Value(service));
        *error = VRNError::errorWithDomain(VRNMessagerErrorDomain,
                                           *failure == VRNXPCError::ConnectionInterrupted
                                               ? VRNMessagerErrorServiceDisappeared
                                               : VRNMessagerErrorServiceUnavailable,
                                           std::move(info));
        return std::nullopt;
    }
    const auto& dictionary = std::get<plist::Dictionary>(reply);
    if (auto replyError = errorInReply(message, dictionary)) {
        *error = std::move(replyError);
        return std::nullopt;
    }
    return payloadInReply(message, dictionary, error);
}

} // namespace

std::optional<VRNError> VRNMessagerClient::errorForMessage(long message,
                                                           const plist::Dictionary& reply) {
    return errorInReply(message, reply);
}

std::optional<plist::Value> VRNMessagerClient::payloadForMessage(long message,
                                                                 const plist::Dictionary& reply,
                                                                 std::optional<VRNError>* error) {
    return payloadInReply(message, reply, error);
}

std::optional<plist::Value> VRNMessagerClient::replyForMessage(long message,
                                                               const VRNXPCReply& reply,
                                                               std::optional<VRNError>* error) {
    return decodeReply(serviceName(), message, reply, error);
}

bool VRNMessagerClient::sendMessage(long message, const std::optional<plist::Value>& payload,
                                    std::optional<VRNError>* error) {
    auto request = XPCMessageForMessage(message, payload, error);
    if (!request) {
        return false;
    }
    _XPCClient->sendXPCMessage(std::move(*request));
    return true;
}

void VRNMessagerClient::sendMessage(long message, const std::optional<plist::Value>& payload,
                                    dispatch::QueuePtr queue, VRNMessagerReplyHandler handler) {
    std::optional<VRNError> error;
    auto request = XPCMessageForMessage(message, payload, &error);
    if (!request) {
        handler(std::nullopt, std::move(error));
        return;
    }
    _XPCClient->sendXPCMessage(
        std::move(*request), std::move(queue),
        [service = serviceName(), message, handler = std::move(handler)](VRNXPCReply reply) {
            std::optional<VRNError> replyError;
            auto object = decodeReply(service, message, reply, &replyError);
            handler(std::move(object), std::move(replyError));
        });
}

std::optional<plist::Value>
VRNMessagerClient::sendSynchronousMessage(long message, const std::optional<plist::Value>& payload,
                                          std::optional<VRNError>* error) {
    auto request = XPCMessageForMessage(message, payload, error);
    if (!request) {
        return std::nullopt;
    }
    return replyForMessage(message, _XPCClient->sendSynchronousXPCMessage(std::move(*request)),
                           error);
}

void VRNMessagerClient::cancel() {
    _XPCClient->cancel();
}

#include "common/KBEHelperMessager.h"

#include "common/KBEHelperMessages.h"
#include "common/VRNAuthorizationManager.h"

KBEHelperMessager& KBEHelperMessager::sharedMessager() {
    static const std::shared_ptr<KBEHelperMessager>* const shared =
        new std::shared_ptr<KBEHelperMessager>(create(VRNAuthorizationManager::sharedManager()));
    return **shared;
}

std::shared_ptr<KBEHelperMessager>
KBEHelperMessager::create(VRNMessagerClientAuthorization& authorization,
                          std::optional<std::string> socketPath) {
    std::shared_ptr<KBEHelperMessager> messager(new KBEHelperMessager);
    messager->_client =
        socketPath
            ? std::make_unique<VRNMessagerClient>(KBEHelperServiceName, *socketPath, messager,
                                                  authorization)
            : std::make_unique<VRNMessagerClient>(KBEHelperServiceName, messager, authorization);
    return messager;
}

std::vector<std::string>
KBEHelperMessager::messagerAuthorizationRightsForMessage(VRNMessagerClient&, long message) {
    return KBEHelperAuthorizationRightsForMessage(message);
}

bool KBEHelperMessager::requiresAuthorizationForMessage(long message) const {
    return !KBEHelperAuthorizationRightsForMessage(message).empty();
}

bool KBEHelperMessager::sendMessage(long message, const std::optional<plist::Value>& payload,
                                    std::optional<VRNError>* error) {
    return _client->sendMessage(message, payload, error);
}

void KBEHelperMessager::sendMessage(long message, const std::optional<plist::Value>& payload,
                                    dispatch::QueuePtr queue, VRNMessagerReplyHandler handler) {
    _client->sendMessage(message, payload, std::move(queue), std::move(handler));
}

std::optional<plist::Value>
KBEHelperMessager::sendSynchronousMessage(long message, const std::optional<plist::Value>& payload,
                                          std::optional<VRNError>* error) {
    return _client->sendSynchronousMessage(message, payload, error);
}

void KBEHelperMessager::cancel() {
    _client->cancel();
}

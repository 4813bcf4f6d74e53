#pragma once

// The product's messager to the daemon, shared by the settings editor and kbectl: the
// envelope's client on the daemon's service, deciding from the message catalogue which
// messages need authorization.

#include "common/VRNMessagerClient.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

inline constexpr const char* KBEHelperServiceName = "com.vornhal.keelbrook.scheduler";

class KBEHelperMessager final : public VRNMessagerClientDelegate,
                                public std::enable_shared_from_this<KBEHelperMessager> {
public:
    // The process's messager, authorizing through the shared authorization manager; created
    // on first use.
    static KBEHelperMessager& sharedMessager();
    // A messager on the daemon's service (at `socketPath` when given, else the installed
    // socket), obtaining authorization from `authorization`.
    static std::shared_ptr<KBEHelperMessager>
    create(VRNMessagerClientAuthorization& authorization,
           std::optional<std::string> socketPath = std::nullopt);

    std::vector<std::string> messagerAuthorizationRightsForMessage(VRNMessagerClient& messager,
                                                                   long message) override;
    bool requiresAuthorizationForMessage(long message) const;

    bool sendMessage(long message, const std::optional<plist::Value>& payload,
                     std::optional<VRNError>* error);
    void sendMessage(long message, const std::optional<plist::Value>& payload,
                     dispatch::QueuePtr queue, VRNMessagerReplyHandler handler);
    std::optional<plist::Value> sendSynchronousMessage(long message,
                                                       const std::optional<plist::Value>& payload,
                                                       std::optional<VRNError>* error);
    void cancel();

private:
    KBEHelperMessager() = default;
    std::unique_ptr<VRNMessagerClient> _client;
};

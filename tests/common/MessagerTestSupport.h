#pragma once

// Message servers in tests: on a socket of the test's own, with an owner of which the test
// writes only the answers.

#include "common/VRNMessagerAuthorization.h"
#include "common/VRNMessagerServer.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace messagertest {

// A client's authorization that has none to give: for messages that need no rights, where
// being asked is a fault.
class NoAuthorization final : public VRNMessagerClientAuthorization {
public:
    std::optional<plist::Data>
    authorizationExternalDataWithRights(const std::vector<std::string>&,
                                        std::optional<VRNError>* error) override {
        *error = VRNError("test", 0, {});
        return std::nullopt;
    }
};

// A server at `socketPath` that trusts this test program run by this user alone.
inline VRNXPCServerOptions privateServerOptions(std::string socketPath,
                                                std::string activationName) {
    VRNXPCServerOptions options;
    options.socketPath = std::move(socketPath);
    options.activationName = std::move(activationName);
    options.trustedPrograms = {{std::filesystem::read_symlink("/proc/self/exe").string()},
                               ::getuid()};
    return options;
}

// Accepts every connection, lets disconnects pass unremarked, asks the rights `rights`
// names for a message and knows the numbers from 0 to below `messageCount` (the server
// answers any other itself as unknown).
class StandInOwner : public VRNMessagerServerDelegate {
public:
    using Rights = std::function<std::vector<std::string>(long message)>;

    StandInOwner(long messageCount, Rights rights)
        : messageCount_(messageCount), rights_(std::move(rights)) {}

    bool messagerShouldAcceptConnection(VRNMessagerServer&,
                                        const std::shared_ptr<VRNXPCPeerConnection>&) final {
        return true;
    }
    void messagerPeerDidDisconnect(VRNMessagerServer&,
                                   const std::shared_ptr<VRNXPCPeerConnection>&) final {}
    std::vector<std::string> messagerAuthorizationRightsForMessage(VRNMessagerServer&,
                                                                   long message) final {
        return rights_(message);
    }
    bool messagerKnowsMessage(VRNMessagerServer&, long message) final {
        return message >= 0 && message < messageCount_;
    }

private:
    const long messageCount_;
    const Rights rights_;
};

} // namespace messagertest

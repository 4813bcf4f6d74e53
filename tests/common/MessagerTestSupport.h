#pragma once

// The owner of a message server in tests, of which a test keeps only the answers: every
// connection is accepted, disconnects pass unremarked, a message asks the rights `rights`
// names for it, and the numbers from 0 to below `messageCount` are known (the server
// answers any other itself as unknown).

#include "common/VRNMessagerServer.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace messagertest {

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

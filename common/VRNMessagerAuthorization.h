#pragma once

// The authorization the messager envelope relies on, one interface per side. The client
// obtains the external form of an authorization holding rights (possibly after asking the
// user); the server checks that a blob a peer sent proves one of the rights. The product's
// authorization manager and the daemon's authority implement them.

#include "common/VRNError.h"
#include "platform/plist/Value.h"

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

class VRNMessagerClientAuthorization {
public:
    virtual ~VRNMessagerClientAuthorization() = default;
    // The external form proving at least one of `rights`, or none with the error.
    virtual std::optional<plist::Data>
    authorizationExternalDataWithRights(const std::vector<std::string>& rights,
                                        std::optional<VRNError>* error) = 0;
};

class VRNMessagerServerAuthorization {
public:
    virtual ~VRNMessagerServerAuthorization() = default;
    // Whether `blob`, sent by the peer with user id `peerUser`, proves at least one of
    // `rights` now; false with the error otherwise. No interaction.
    virtual bool validateAuthorizationExternalData(const plist::Data& blob,
                                                   const std::vector<std::string>& rights,
                                                   uid_t peerUser,
                                                   std::optional<VRNError>* error) = 0;
};

#pragma once

// The process's authorization: acquiring rights from the daemon's authority (asking the
// user for an administrator's name and password when a right needs one and interaction is
// allowed), exporting the held authorization as its 32-byte external form for a message,
// and defining rights in the rights database (the daemon, as root).
//
// The authorization reference is an open session with the authority. It is kept, with the
// rights it was obtained for, across messages that need the same rights; when its
// connection ends (the daemon exited) it is dropped and the next request starts afresh.

#include "common/VRNAuthorizationDatabase.h"
#include "common/VRNError.h"
#include "common/VRNMessagerAuthorization.h"
#include "platform/plist/Value.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// What the application shows when a right needs a user's password.
struct VRNAuthorizationPromptRequest {
    std::string prompt;      // "You must authenticate to change the product settings."
    std::string right;       // the right being asked for
    std::string group;       // the group the user must belong to
    std::string defaultUser; // the caller's own name, offered first
    int failedAttempts = 0;  // earlier refused attempts of this request
};

// The user's answer. The manager clears the password once it has been sent.
struct VRNAuthorizationPromptAnswer {
    std::string user;
    std::string password;
};

// Asks the user; none when the user cancelled. Called on the thread that asked for rights,
// which waits for the answer.
using VRNAuthorizationPromptHandler = std::function<std::optional<VRNAuthorizationPromptAnswer>(
    const VRNAuthorizationPromptRequest&)>;

class VRNAuthorizationReference;

class VRNAuthorizationManager final : public VRNMessagerClientAuthorization {
public:
    static constexpr const char* kPrompt = "You must authenticate to change the product settings.";
    // Password attempts per right and request before the right counts as refused.
    static constexpr int kMaximumAttempts = 3;

    // The process's instance, reaching the authority of the installed environment's
    // installation; created on first use.
    static VRNAuthorizationManager& sharedManager();

    explicit VRNAuthorizationManager(std::string authoritySocketPath);
    ~VRNAuthorizationManager() override;
    VRNAuthorizationManager(const VRNAuthorizationManager&) = delete;
    VRNAuthorizationManager& operator=(const VRNAuthorizationManager&) = delete;

    // Defines or replaces the rights (name to definition) in the installed environment's
    // rights database, or in `database`. Needs root.
    static bool setAuthorizationRights(const plist::Dictionary& rights,
                                       std::optional<VRNError>* error);
    static bool setAuthorizationRights(const VRNAuthorizationDatabase& database,
                                       const plist::Dictionary& rights,
                                       std::optional<VRNError>* error);

    // Obtains the first of `rights` that can be had, in order.
    bool authorizeRights(const std::vector<std::string>& rights, std::optional<VRNError>* error);
    std::optional<plist::Data>
    authorizationExternalDataWithRights(const std::vector<std::string>& rights,
                                        std::optional<VRNError>* error) override;
    // Ends the session, discarding its credentials.
    void invalidate();

    bool allowsUserInteraction() const { return _allowsUserInteraction; }
    void setAllowsUserInteraction(bool allowsUserInteraction) {
        _allowsUserInteraction = allowsUserInteraction;
    }
    // Without a handler, a right that needs a password is refused as if interaction were off.
    void setPromptHandler(VRNAuthorizationPromptHandler handler) {
        _promptHandler = std::move(handler);
    }

private:
    int _copyRight(const std::string& right);

    std::shared_ptr<VRNAuthorizationReference> _authRef;
    std::vector<std::string> _lastAuthorizedRights;
    bool _allowsUserInteraction = true;

    const std::string _authoritySocketPath;
    VRNAuthorizationPromptHandler _promptHandler;
};

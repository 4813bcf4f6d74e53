#pragma once

// The daemon's authority: the rights database's evaluator, on a socket of its own. Each
// client connection is a session (the client's authorization reference): it belongs to the
// connecting uid, keeps the credential of a user who authenticated in it (for the right's
// "timeout"), is named by 32 random bytes (its external form) and ends with its connection.
// While a session is open the daemon is kept alive (reason "authorization"). The messager
// server checks a message's external form here, in memory, re-evaluating each right's
// current definition against the session; nothing of a session outlives the process.
//
// Passwords are checked with PAM on the pool, never on the authority's queue; after three
// failures of one uid each further attempt waits 2 s longer (at most 30 s), on a timer.

#include "common/VRNEnvironment.h"
#include "common/VRNMessagerAuthorization.h"
#include "common/VRNXPCServer.h"
#include "common/authority/VRNAuthorizationRules.h"
#include "platform/dispatch/LockQueue.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

// How the authority keeps the process alive: `hold` when a session opens, `release` when it
// ends (the daemon passes its termination manager's hold and release).
struct VRNAuthorityHolds {
    std::function<void(const std::string& reason)> hold;
    std::function<void(const std::string& reason)> release;
};

struct VRNAuthorityOptions {
    VRNXPCServerOptions server;
    std::string databasePath;
    std::string pamService = "keelbrook";
    // Empty: the system's PAM configuration.
    std::string pamConfigurationFolder;
    std::shared_ptr<VRNAuthorityDirectory> directory;
    VRNAuthorityHolds holds;
    // Test seam: told of each password check put on a timer, with its wait.
    std::function<void(uid_t uid, dispatch::Duration delay)> delayObserver;

    // The authority's socket and rights database in the installation at
    // `installationRoot`, the system's directory and PAM configuration, no holds.
    static VRNAuthorityOptions forInstallation(const std::string& installationRoot);
};

class VRNAuthority final : public VRNXPCServerDelegate,
                           public VRNMessagerServerAuthorization,
                           public std::enable_shared_from_this<VRNAuthority> {
public:
    static constexpr const char* kQueueLabel = "com.vornhal.authority";
    static constexpr const char* kHoldReason = "authorization";
    static constexpr unsigned kFreeFailures = 3;
    static constexpr dispatch::Duration kFailureDelayStep = std::chrono::seconds(2);
    static constexpr dispatch::Duration kMaximumFailureDelay = std::chrono::seconds(30);

    // Its queue targets the environment's logic queue; time is the environment's clock.
    static std::shared_ptr<VRNAuthority> create(const VRNEnvironment& environment,
                                                VRNAuthorityOptions options);

    bool start();
    // Stops listening and ends every session.
    void stop();
    std::size_t sessionCount();

    // The wait before a password check of `uid` after `failures` failures in a row.
    static dispatch::Duration failureDelay(unsigned failures);

    bool validateAuthorizationExternalData(const plist::Data& blob,
                                           const std::vector<std::string>& rights, uid_t peerUser,
                                           std::optional<VRNError>* error) override;

    bool XPCServerShouldAcceptConnection(
        VRNXPCServer& server, const std::shared_ptr<VRNXPCPeerConnection>& connection) override;
    void XPCServerHandleMessage(VRNXPCServer& server, const VRNXPCMessage& message,
                                const std::shared_ptr<VRNXPCPeerConnection>& peer) override;
    void XPCServerPeerDidDisconnect(VRNXPCServer& server,
                                    const std::shared_ptr<VRNXPCPeerConnection>& peer) override;

    VRNAuthority(const VRNEnvironment& environment, VRNAuthorityOptions options);

private:
    using Token = std::array<std::uint8_t, 32>;
    struct Session {
        uid_t uid = 0;
        Token token{};
        std::optional<VRNAuthorizationCredential> credential;
    };
    // Failed checks in a row of one uid, and whether one of its checks is under way (one at
    // a time per uid, so that parallel sessions cannot share a wait).
    struct Attempts {
        unsigned failures = 0;
        bool checking = false;
    };

    dispatch::Duration _now() const;
    std::optional<plist::Dictionary> _rights();
    VRNRightOutcome _evaluate(const std::string& right, const Session& session,
                              const plist::Dictionary& rights);
    plist::Dictionary _copyRight(const plist::Dictionary& request,
                                 const std::shared_ptr<Session>& session);
    void _authenticate(const plist::Dictionary& request, const std::shared_ptr<Session>& session,
                       const VRNXPCMessage& message,
                       const std::shared_ptr<VRNXPCPeerConnection>& peer);
    void _finishAuthentication(const std::weak_ptr<Session>& session, const std::string& user,
                               bool accepted, const std::string& why, uid_t uid,
                               const VRNXPCMessage& message,
                               const std::shared_ptr<VRNXPCPeerConnection>& peer);

    const VRNEnvironment _environment;
    const VRNAuthorityOptions _options;
    dispatch::QueuePtr _queue;
    std::shared_ptr<VRNXPCServer> _server;
    dispatch::LockQueue _lock{std::string(kQueueLabel) + ".lock"};
    std::map<const VRNXPCPeerConnection*, std::shared_ptr<Session>> _sessions; // under _lock
    std::map<uid_t, Attempts> _attempts;                                       // under _lock
};

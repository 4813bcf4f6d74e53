#include "common/authority/VRNAuthority.h"

#include "common/VRNAuthorizationDatabase.h"
#include "common/VRNAuthorizationErrors.h"
#include "common/VRNAuthorizationProtocol.h"
#include "common/VRNLog.h"
#include "common/VRNQueue.h"
#include "platform/pam/Pam.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

namespace {

plist::Dictionary statusReply(int status) {
    return plist::Dictionary{{kVRNAuthorityStatusKey, status}};
}

const std::string* stringOf(const plist::Dictionary& dictionary, const char* key) {
    auto found = dictionary.find(key);
    return found == dictionary.end() ? nullptr : found->second.asString();
}

int statusOf(const VRNRightOutcome& outcome) {
    switch (outcome.kind) {
    case VRNRightOutcome::Kind::Granted:
        return VRNAuthorizationStatusSuccess;
    case VRNRightOutcome::Kind::NeedsCredential:
        return VRNAuthorizationStatusInteractionNotAllowed;
    case VRNRightOutcome::Kind::Denied:
        break;
    }
    return VRNAuthorizationStatusDenied;
}

} // namespace

VRNAuthorityOptions VRNAuthorityOptions::forInstallation(const std::string& installationRoot) {
    VRNAuthorityOptions options;
    options.server = VRNXPCServerOptions::forService(kVRNAuthorityServiceName, installationRoot);
    options.databasePath = VRNAuthorizationDatabase::inInstallation(installationRoot).path();
    options.directory = VRNAuthorityDirectory::system();
    return options;
}

VRNAuthority::VRNAuthority(const VRNEnvironment& environment, VRNAuthorityOptions options)
    : _environment(environment), _options(std::move(options)),
      _queue(VRNQueueCreate(kQueueLabel, environment.logicQueue)) {}

std::shared_ptr<VRNAuthority> VRNAuthority::create(const VRNEnvironment& environment,
                                                   VRNAuthorityOptions options) {
    auto authority = std::make_shared<VRNAuthority>(environment, std::move(options));
    authority->_server = std::make_shared<VRNXPCServer>(
        kVRNAuthorityServiceName, authority->_queue, std::weak_ptr<VRNXPCServerDelegate>(authority),
        authority->_options.server);
    return authority;
}

bool VRNAuthority::start() {
    return _server->start();
}

void VRNAuthority::stop() {
    _server->stop();
}

std::size_t VRNAuthority::sessionCount() {
    return _lock.sync([&] { return _sessions.size(); });
}

dispatch::Duration VRNAuthority::failureDelay(unsigned failures) {
    if (failures < kFreeFailures) {
        return dispatch::Duration::zero();
    }
    return std::min(kFailureDelayStep * (failures - kFreeFailures + 1), kMaximumFailureDelay);
}

dispatch::Duration VRNAuthority::_now() const {
    return _environment.clock->now(dispatch::ClockKind::Monotonic);
}

std::optional<plist::Dictionary> VRNAuthority::_rights() {
    std::string why;
    auto rights = VRNAuthorizationDatabase(_options.databasePath).rights(&why);
    if (!rights) {
        VRNLog(VRNLogLevelError, "Could not read the rights database: %@.", why);
    }
    return rights;
}

VRNRightOutcome VRNAuthority::_evaluate(const std::string& right, const Session& session,
                                        const plist::Dictionary& rights) {
    VRNAuthorizationSubject subject{session.uid, session.credential, _now()};
    return VRNEvaluateRight(right, rights, subject, *_options.directory);
}

// MARK: - Sessions

bool VRNAuthority::XPCServerShouldAcceptConnection(
    VRNXPCServer&, const std::shared_ptr<VRNXPCPeerConnection>& connection) {
    auto session = std::make_shared<Session>();
    session->uid = connection->userIdentifier();
    if (RAND_bytes(session->token.data(), static_cast<int>(session->token.size())) != 1) {
        VRNLog(VRNLogLevelError, "Could not make an authorization session for peer %d.",
               connection->processIdentifier());
        return false;
    }
    _lock.sync([&] { _sessions.emplace(connection.get(), std::move(session)); });
    if (_options.holds.hold) {
        _options.holds.hold(kHoldReason);
    }
    return true;
}

void VRNAuthority::XPCServerPeerDidDisconnect(VRNXPCServer&,
                                              const std::shared_ptr<VRNXPCPeerConnection>& peer) {
    const bool ended = _lock.sync([&] {
        auto found = _sessions.find(peer.get());
        if (found == _sessions.end()) {
            return false;
        }
        OPENSSL_cleanse(found->second->token.data(), found->second->token.size());
        _sessions.erase(found);
        return true;
    });
    if (ended && _options.holds.release) {
        _options.holds.release(kHoldReason);
    }
}

void VRNAuthority::XPCServerHandleMessage(VRNXPCServer&, const VRNXPCMessage& message,
                                          const std::shared_ptr<VRNXPCPeerConnection>& peer) {
    auto session = _lock.sync([&]() -> std::shared_ptr<Session> {
        auto found = _sessions.find(peer.get());
        return found == _sessions.end() ? nullptr : found->second;
    });
    const std::string* kind = stringOf(message.dictionary, kVRNAuthorityRequestKey);
    if (!session || !kind) {
        peer->sendReply(message, statusReply(VRNAuthorizationStatusInternal));
        return;
    }
    if (*kind == kVRNAuthorityRequestCreate) {
        peer->sendReply(message, statusReply(VRNAuthorizationStatusSuccess));
    } else if (*kind == kVRNAuthorityRequestCopyRight) {
        peer->sendReply(message, _copyRight(message.dictionary, session));
    } else if (*kind == kVRNAuthorityRequestAuthenticate) {
        _authenticate(message.dictionary, session, message, peer);
    } else if (*kind == kVRNAuthorityRequestExternalForm) {
        plist::Dictionary reply = statusReply(VRNAuthorizationStatusSuccess);
        reply.emplace(kVRNAuthorityExternalFormKey,
                      plist::Data(session->token.begin(), session->token.end()));
        peer->sendReply(message, std::move(reply));
    } else {
        peer->sendReply(message, statusReply(VRNAuthorizationStatusInternal));
    }
}

plist::Dictionary VRNAuthority::_copyRight(const plist::Dictionary& request,
                                           const std::shared_ptr<Session>& session) {
    const std::string* right = stringOf(request, kVRNAuthorityRightKey);
    auto interaction = request.find(kVRNAuthorityInteractionKey);
    const bool interactive =
        interaction != request.end() && interaction->second.asBoolean().value_or(false);
    auto rights = _rights();
    if (!right || !rights) {
        return statusReply(VRNAuthorizationStatusDenied);
    }
    const Session snapshot = _lock.sync([&] { return *session; });
    const VRNRightOutcome outcome = _evaluate(*right, snapshot, *rights);
    plist::Dictionary reply = statusReply(statusOf(outcome));
    if (outcome.kind == VRNRightOutcome::Kind::NeedsCredential && interactive) {
        auto user = _options.directory->userNameForUser(snapshot.uid);
        reply.emplace(kVRNAuthorityCredentialsKey,
                      plist::Dictionary{{kVRNAuthorityGroupKey, outcome.group},
                                        {kVRNAuthorityUserKey, user.value_or("")}});
    }
    return reply;
}

// MARK: - Passwords

void VRNAuthority::_authenticate(const plist::Dictionary& request,
                                 const std::shared_ptr<Session>& session,
                                 const VRNXPCMessage& message,
                                 const std::shared_ptr<VRNXPCPeerConnection>& peer) {
    const std::string* right = stringOf(request, kVRNAuthorityRightKey);
    const std::string* user = stringOf(request, kVRNAuthorityUserKey);
    const std::string* password = stringOf(request, kVRNAuthorityPasswordKey);
    auto rights = _rights();
    if (!right || !user || !password || !rights) {
        peer->sendReply(message, statusReply(VRNAuthorizationStatusDenied));
        return;
    }
    const Session snapshot = _lock.sync([&] { return *session; });
    const VRNRightOutcome outcome = _evaluate(*right, snapshot, *rights);
    if (outcome.kind != VRNRightOutcome::Kind::NeedsCredential) {
        peer->sendReply(message, statusReply(statusOf(outcome)));
        return;
    }
    // One check at a time per uid, and the uid's failures decide the wait before it.
    std::optional<dispatch::Duration> delay =
        _lock.sync([&]() -> std::optional<dispatch::Duration> {
            Attempts& attempts = _attempts[snapshot.uid];
            if (attempts.checking) {
                return std::nullopt;
            }
            attempts.checking = true;
            return failureDelay(attempts.failures);
        });
    if (!delay) {
        peer->sendReply(message, statusReply(VRNAuthorizationStatusDenied));
        return;
    }
    // The check owns the only copy of the password outside the request, and clears it; the
    // reply needs only the request's identity.
    auto secret = std::make_shared<std::string>(*password);
    const VRNXPCMessage answered{{}, message.identifier, message.wantsReply};
    auto self = shared_from_this();
    std::weak_ptr<Session> weakSession = session;
    dispatch::Work check = [self, weakSession, secret, user = *user, group = outcome.group,
                            uid = snapshot.uid, answered, peer] {
        std::string why;
        const pam::Outcome checked = pam::authenticate(self->_options.pamService, user, *secret,
                                                       self->_options.pamConfigurationFolder, &why);
        OPENSSL_cleanse(secret->data(), secret->size());
        bool accepted = checked == pam::Outcome::Authenticated;
        if (accepted && !self->_options.directory->isMemberOfGroup(user, group)) {
            accepted = false;
            why = "not a member of " + group;
        }
        self->_finishAuthentication(weakSession, user, accepted, why, uid, answered, peer);
    };
    if (*delay == dispatch::Duration::zero()) {
        dispatch::globalQueue()->async(std::move(check));
    } else {
        VRNLog(VRNLogLevelDefault, "Password check for uid %u waits %lld s after failures.",
               static_cast<unsigned>(snapshot.uid),
               static_cast<long long>(
                   std::chrono::duration_cast<std::chrono::seconds>(*delay).count()));
        dispatch::after(*delay, dispatch::globalQueue(), std::move(check));
        if (_options.delayObserver) {
            _options.delayObserver(snapshot.uid, *delay);
        }
    }
}

void VRNAuthority::_finishAuthentication(const std::weak_ptr<Session>& weakSession,
                                         const std::string& user, bool accepted,
                                         const std::string& why, uid_t uid,
                                         const VRNXPCMessage& message,
                                         const std::shared_ptr<VRNXPCPeerConnection>& peer) {
    const dispatch::Duration now = _now();
    const unsigned failures = _lock.sync([&] {
        if (auto session = weakSession.lock(); session && accepted) {
            session->credential = VRNAuthorizationCredential{user, now};
        }
        if (accepted) {
            _attempts.erase(uid);
            return 0u;
        }
        Attempts& attempts = _attempts[uid];
        attempts.checking = false;
        return ++attempts.failures;
    });
    if (accepted) {
        VRNLog(VRNLogLevelInfo, "User %@ authenticated for uid %u.", user,
               static_cast<unsigned>(uid));
    } else {
        VRNLog(VRNLogLevelDefault, "Authentication of user %@ for uid %u failed (%@), %u in a row.",
               user, static_cast<unsigned>(uid), why, failures);
    }
    peer->sendReply(message, statusReply(accepted ? VRNAuthorizationStatusSuccess
                                                  : VRNAuthorizationStatusDenied));
}

// MARK: - Validation

bool VRNAuthority::validateAuthorizationExternalData(const plist::Data& blob,
                                                     const std::vector<std::string>& rights,
                                                     uid_t peerUser,
                                                     std::optional<VRNError>* error) {
    std::optional<Session> session;
    if (blob.size() >= kVRNAuthorizationExternalFormLength) {
        _lock.sync([&] {
            for (const auto& [peer, candidate] : _sessions) {
                if (CRYPTO_memcmp(candidate->token.data(), blob.data(),
                                  kVRNAuthorizationExternalFormLength) == 0 &&
                    candidate->uid == peerUser) {
                    session = *candidate;
                }
            }
        });
    }
    if (!session) {
        if (error) {
            *error = VRNError::errorWithDomain(VRNAuthorizationErrorDomain,
                                               VRNAuthorizationErrorCreateFromExternalFormFailed,
                                               {{"status", VRNAuthorizationStatusInvalidRef}});
        }
        return false;
    }
    const auto definitions = _rights();
    plist::Array failures;
    for (const std::string& right : rights) {
        const int status = definitions ? statusOf(_evaluate(right, *session, *definitions))
                                       : VRNAuthorizationStatusInternal;
        if (status == VRNAuthorizationStatusSuccess) {
            return true;
        }
        failures.emplace_back(VRNFormat("%@ (%d)", right, status).value_or(right));
    }
    if (error) {
        *error = VRNError::errorWithDomain(VRNAuthorizationErrorDomain,
                                           VRNAuthorizationErrorValidateRightsFailed,
                                           {{"rights", std::move(failures)}});
    }
    return false;
}

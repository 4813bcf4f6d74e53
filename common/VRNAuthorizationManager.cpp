#include "common/VRNAuthorizationManager.h"

#include "common/VRNAuthorizationErrors.h"
#include "common/VRNAuthorizationProtocol.h"
#include "common/VRNEnvironment.h"
#include "common/VRNXPCClient.h"
#include "platform/paths/Paths.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>

// An open session with the authority. It ends for good with its connection: requests on an
// ended session fail instead of opening a new one.
class VRNAuthorizationReference {
public:
    explicit VRNAuthorizationReference(const std::string& socketPath)
        : _ended(std::make_shared<std::atomic<bool>>(false)),
          _connection(std::make_shared<VRNXPCClientConnection>(
              socketPath, dispatch::SerialQueue::create("com.vornhal.authorization.connection"),
              [ended = _ended](VRNXPCError) { ended->store(true); })) {}
    ~VRNAuthorizationReference() { _connection->cancel(); }
    VRNAuthorizationReference(const VRNAuthorizationReference&) = delete;
    VRNAuthorizationReference& operator=(const VRNAuthorizationReference&) = delete;

    bool ended() const { return _ended->load(); }

    // The reply, or none when the session has ended.
    std::optional<plist::Dictionary> request(plist::Dictionary request) {
        if (ended()) {
            return std::nullopt;
        }
        struct Outcome {
            std::mutex mutex;
            std::condition_variable arrived;
            std::optional<VRNXPCReply> reply;
        };
        auto outcome = std::make_shared<Outcome>();
        _connection->send(std::move(request), [outcome](VRNXPCReply reply) {
            {
                std::lock_guard guard(outcome->mutex);
                outcome->reply = std::move(reply);
            }
            outcome->arrived.notify_all();
        });
        std::unique_lock guard(outcome->mutex);
        outcome->arrived.wait(guard, [&] { return outcome->reply.has_value(); });
        if (auto* reply = std::get_if<plist::Dictionary>(&*outcome->reply)) {
            return std::move(*reply);
        }
        _ended->store(true);
        return std::nullopt;
    }

    // The status of a request's reply: the session's end is an invalid reference.
    static int statusOf(const std::optional<plist::Dictionary>& reply) {
        if (!reply) {
            return VRNAuthorizationStatusInvalidRef;
        }
        auto status = reply->find(kVRNAuthorityStatusKey);
        auto value = status == reply->end() ? std::nullopt : status->second.asInteger();
        return value ? static_cast<int>(*value) : VRNAuthorizationStatusInternal;
    }

private:
    const std::shared_ptr<std::atomic<bool>> _ended;
    const std::shared_ptr<VRNXPCClientConnection> _connection;
};

namespace {

plist::Array rightsArray(const std::vector<std::string>& rights) {
    return plist::Array(rights.begin(), rights.end());
}

const plist::Value* entry(const plist::Dictionary& dictionary, const char* key) {
    auto found = dictionary.find(key);
    return found == dictionary.end() ? nullptr : &found->second;
}

plist::Dictionary requestOf(const char* kind) {
    return plist::Dictionary{{kVRNAuthorityRequestKey, kind}};
}

} // namespace

VRNAuthorizationManager& VRNAuthorizationManager::sharedManager() {
    static VRNAuthorizationManager* manager =
        new VRNAuthorizationManager(paths::locate(VRNXPCSocketProductPath(kVRNAuthorityServiceName),
                                                  VRNEnvironment::shared().installationRoot));
    return *manager;
}

VRNAuthorizationManager::VRNAuthorizationManager(std::string authoritySocketPath)
    : _authoritySocketPath(std::move(authoritySocketPath)) {}

VRNAuthorizationManager::~VRNAuthorizationManager() = default;

// MARK: - Rights database

bool VRNAuthorizationManager::setAuthorizationRights(const plist::Dictionary& rights,
                                                     std::optional<VRNError>* error) {
    return setAuthorizationRights(
        VRNAuthorizationDatabase::inInstallation(VRNEnvironment::shared().installationRoot), rights,
        error);
}

bool VRNAuthorizationManager::setAuthorizationRights(const VRNAuthorizationDatabase& database,
                                                     const plist::Dictionary& rights,
                                                     std::optional<VRNError>* error) {
    VRNAuthorizationDatabase::Failures failures;
    std::optional<int> status;
    if (database.setRights(rights, &failures, &status)) {
        return true;
    }
    plist::Dictionary info;
    if (status) {
        plist::Array names;
        for (const auto& [name, definition] : rights) {
            names.emplace_back(name);
        }
        info.emplace("status", *status);
        info.emplace("rights", std::move(names));
    } else {
        plist::Array failed;
        for (const auto& [name, failedStatus] : failures) {
            failed.emplace_back(VRNFormat("%@ (%d)", name, failedStatus).value_or(name));
        }
        info.emplace("rights", std::move(failed));
    }
    if (error) {
        *error = VRNError::errorWithDomain(VRNAuthorizationErrorDomain,
                                           VRNAuthorizationErrorSetRightsFailed, std::move(info));
    }
    return false;
}

// MARK: - Acquiring rights

bool VRNAuthorizationManager::authorizeRights(const std::vector<std::string>& rights,
                                              std::optional<VRNError>* error) {
    if (_authRef && (_authRef->ended() || _lastAuthorizedRights != rights)) {
        _authRef.reset();
        _lastAuthorizedRights.clear();
    }
    if (!_authRef) {
        auto made = std::make_shared<VRNAuthorizationReference>(_authoritySocketPath);
        const int status = VRNAuthorizationReference::statusOf(
            made->request(requestOf(kVRNAuthorityRequestCreate)));
        if (status != VRNAuthorizationStatusSuccess) {
            if (error) {
                *error = VRNError::errorWithDomain(VRNAuthorizationErrorDomain,
                                                   VRNAuthorizationErrorCreateFailed,
                                                   {{"status", status}});
            }
            return false;
        }
        _authRef = std::move(made);
    }
    bool cancelled = false;
    for (const std::string& right : rights) {
        const int status = _copyRight(right);
        if (status == VRNAuthorizationStatusSuccess) {
            _lastAuthorizedRights = rights;
            return true;
        }
        if (status == VRNAuthorizationStatusCanceled) {
            cancelled = true;
            break;
        }
    }
    _authRef.reset();
    _lastAuthorizedRights.clear();
    if (error) {
        *error = VRNError::errorWithDomain(VRNAuthorizationErrorDomain,
                                           cancelled ? VRNAuthorizationErrorCanceled
                                                     : VRNAuthorizationErrorAuthorizeRightsFailed,
                                           {{"rights", rightsArray(rights)}});
    }
    return false;
}

int VRNAuthorizationManager::_copyRight(const std::string& right) {
    const bool interactive = _allowsUserInteraction && static_cast<bool>(_promptHandler);
    plist::Dictionary request = requestOf(kVRNAuthorityRequestCopyRight);
    request.emplace(kVRNAuthorityRightKey, right);
    request.emplace(kVRNAuthorityInteractionKey, interactive);
    auto reply = _authRef->request(std::move(request));
    const int status = VRNAuthorizationReference::statusOf(reply);
    const plist::Value* wanted = reply ? entry(*reply, kVRNAuthorityCredentialsKey) : nullptr;
    if (status == VRNAuthorizationStatusSuccess || !interactive || !wanted ||
        !wanted->isDictionary()) {
        return status;
    }
    VRNAuthorizationPromptRequest prompt;
    prompt.prompt = kPrompt;
    prompt.right = right;
    if (const plist::Value* group = wanted->find(kVRNAuthorityGroupKey);
        group && group->isString()) {
        prompt.group = *group->asString();
    }
    if (const plist::Value* user = wanted->find(kVRNAuthorityUserKey); user && user->isString()) {
        prompt.defaultUser = *user->asString();
    }
    for (; prompt.failedAttempts < kMaximumAttempts; ++prompt.failedAttempts) {
        std::optional<VRNAuthorizationPromptAnswer> answer = _promptHandler(prompt);
        if (!answer) {
            return VRNAuthorizationStatusCanceled;
        }
        plist::Dictionary authenticate = requestOf(kVRNAuthorityRequestAuthenticate);
        authenticate.emplace(kVRNAuthorityRightKey, right);
        authenticate.emplace(kVRNAuthorityUserKey, answer->user);
        authenticate.emplace(kVRNAuthorityPasswordKey, answer->password);
        ::explicit_bzero(answer->password.data(), answer->password.size());
        const int checked =
            VRNAuthorizationReference::statusOf(_authRef->request(std::move(authenticate)));
        if (checked != VRNAuthorizationStatusDenied) {
            return checked;
        }
    }
    return VRNAuthorizationStatusDenied;
}

std::optional<plist::Data>
VRNAuthorizationManager::authorizationExternalDataWithRights(const std::vector<std::string>& rights,
                                                             std::optional<VRNError>* error) {
    if (!authorizeRights(rights, error)) {
        return std::nullopt;
    }
    auto reply = _authRef->request(requestOf(kVRNAuthorityRequestExternalForm));
    int status = VRNAuthorizationReference::statusOf(reply);
    if (status == VRNAuthorizationStatusSuccess) {
        const plist::Value* form = entry(*reply, kVRNAuthorityExternalFormKey);
        if (form && form->isData() &&
            form->asData()->size() == kVRNAuthorizationExternalFormLength) {
            return *form->asData();
        }
        status = VRNAuthorizationStatusInternal;
    }
    if (error) {
        *error = VRNError::errorWithDomain(VRNAuthorizationErrorDomain,
                                           VRNAuthorizationErrorMakeExternalFormFailed,
                                           {{"status", status}});
    }
    return std::nullopt;
}

void VRNAuthorizationManager::invalidate() {
    _authRef.reset();
    _lastAuthorizedRights.clear();
}

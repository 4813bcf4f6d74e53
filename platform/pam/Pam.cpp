#include "platform/pam/Pam.h"

#include <cstdlib>
#include <cstring>
#include <security/pam_appl.h>

namespace pam {

namespace {

struct Conversation {
    const std::string* user;
    const std::string* password;
};

// Answers the password prompt with the password and a visible prompt with the user's
// name; messages are acknowledged without an answer.
int converse(int count, const pam_message** messages, pam_response** responses, void* data) {
    if (count <= 0 || count > PAM_MAX_NUM_MSG) {
        return PAM_CONV_ERR;
    }
    const auto* conversation = static_cast<const Conversation*>(data);
    auto* replies = static_cast<pam_response*>(std::calloc(count, sizeof(pam_response)));
    if (replies == nullptr) {
        return PAM_BUF_ERR;
    }
    for (int i = 0; i < count; ++i) {
        const char* answer = nullptr;
        switch (messages[i]->msg_style) {
        case PAM_PROMPT_ECHO_OFF:
            answer = conversation->password->c_str();
            break;
        case PAM_PROMPT_ECHO_ON:
            answer = conversation->user->c_str();
            break;
        default:
            break;
        }
        if (answer != nullptr && (replies[i].resp = ::strdup(answer)) == nullptr) {
            for (int j = 0; j < i; ++j) {
                if (replies[j].resp != nullptr) {
                    ::explicit_bzero(replies[j].resp, std::strlen(replies[j].resp));
                    std::free(replies[j].resp);
                }
            }
            std::free(replies);
            return PAM_BUF_ERR;
        }
    }
    *responses = replies;
    return PAM_SUCCESS;
}

} // namespace

Outcome authenticate(const std::string& service, const std::string& user,
                     const std::string& password, const std::string& configurationFolder,
                     std::string* why) {
    Conversation conversation{&user, &password};
    const pam_conv conv{converse, &conversation};
    pam_handle_t* handle = nullptr;
    int status = pam_start_confdir(
        service.c_str(), user.c_str(), &conv,
        configurationFolder.empty() ? nullptr : configurationFolder.c_str(), &handle);
    if (status != PAM_SUCCESS) {
        if (why) {
            *why = handle ? pam_strerror(handle, status) : "PAM could not start";
        }
        if (handle) {
            pam_end(handle, status);
        }
        return Outcome::Failed;
    }
    status = pam_authenticate(handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    if (status == PAM_SUCCESS) {
        status = pam_acct_mgmt(handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    }
    Outcome outcome = Outcome::Authenticated;
    if (status != PAM_SUCCESS) {
        if (why) {
            *why = pam_strerror(handle, status);
        }
        const bool refused = status == PAM_AUTH_ERR || status == PAM_USER_UNKNOWN ||
                             status == PAM_MAXTRIES || status == PAM_CRED_INSUFFICIENT ||
                             status == PAM_ACCT_EXPIRED || status == PAM_NEW_AUTHTOK_REQD ||
                             status == PAM_PERM_DENIED;
        outcome = refused ? Outcome::Refused : Outcome::Failed;
    }
    pam_end(handle, status);
    return outcome;
}

} // namespace pam

#pragma once

// Evaluating a right's definition for one session: who the caller is, and which user (if
// any) authenticated in that session and when.

#include "platform/dispatch/Time.h"
#include "platform/plist/Value.h"

#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>

// Users and groups, as the authority sees them. The system's directory in the daemon;
// tests give their own so that no account of the machine is involved.
class VRNAuthorityDirectory {
public:
    virtual ~VRNAuthorityDirectory() = default;
    virtual std::optional<std::string> userNameForUser(uid_t uid) = 0;
    virtual bool groupExists(const std::string& group) = 0;
    // Whether `user` is in `group`, as a listed member or by its primary group.
    virtual bool isMemberOfGroup(const std::string& user, const std::string& group) = 0;

    // The password and group databases through the C library.
    static std::shared_ptr<VRNAuthorityDirectory> system();
};

// The administrators' group: the first of "admin", "sudo", "wheel" that exists.
std::optional<std::string> VRNAdministratorsGroup(VRNAuthorityDirectory& directory);

// Who authenticated in a session, and when (on the monotonic clock).
struct VRNAuthorizationCredential {
    std::string user;
    dispatch::Duration obtained{};
};

struct VRNAuthorizationSubject {
    uid_t uid = 0;
    std::optional<VRNAuthorizationCredential> credential;
    dispatch::Duration now{}; // monotonic
};

struct VRNRightOutcome {
    enum class Kind { Granted, Denied, NeedsCredential };
    Kind kind = Kind::Denied;
    // For NeedsCredential: the group whose member must authenticate.
    std::string group;
};

// Evaluates right `name` of `rights` for `subject`:
// - "rule": the rules of "rule" (a name or an array of names), of which "k-of-n" (all when
//   absent) must hold. A rule is "is-root" (uid 0), "is-admin" (the caller's user is in the
//   administrators' group) or the name of another right, evaluated in turn;
// - "user": the session's credential is of a member of "group" ("admin" names the
//   administrators' group) and younger than "timeout" seconds (kept for the session when
//   absent); otherwise a member of that group must authenticate;
// - "allow", "deny"; anything else, and a right that is not defined, is denied.
VRNRightOutcome VRNEvaluateRight(const std::string& name, const plist::Dictionary& rights,
                                 const VRNAuthorizationSubject& subject,
                                 VRNAuthorityDirectory& directory);

// The group a "user" right's "group" names on this system; none when it does not exist.
std::optional<std::string> VRNResolvedGroup(const std::string& group,
                                            VRNAuthorityDirectory& directory);

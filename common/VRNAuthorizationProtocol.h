#pragma once

// What the authorization client and the daemon's authority say to each other over the
// authority's socket, and the statuses of asking for a right. The statuses keep the values
// the product's design gives them (the cancel status is -60006), so that the texts built
// from them ("%@ (%d)") read the same on every platform.

#include <cstddef>

// The authority's service: its socket is /run/keelbrook/authority.socket, its activated
// descriptor is named "authority".
inline constexpr const char* kVRNAuthorityServiceName = "com.vornhal.keelbrook.authority";

// Statuses of an authorization operation.
inline constexpr int VRNAuthorizationStatusSuccess = 0;
inline constexpr int VRNAuthorizationStatusInvalidSet = -60001;
// The reference (a session, or an external form) is not known to the authority.
inline constexpr int VRNAuthorizationStatusInvalidRef = -60002;
inline constexpr int VRNAuthorizationStatusDenied = -60005;
inline constexpr int VRNAuthorizationStatusCanceled = -60006;
inline constexpr int VRNAuthorizationStatusInteractionNotAllowed = -60007;
inline constexpr int VRNAuthorizationStatusInternal = -60008;

// The external form: this many random bytes naming a session.
inline constexpr std::size_t kVRNAuthorizationExternalFormLength = 32;

// Requests: {"request": one of the kinds below, ...}; every reply carries "status".
inline constexpr const char* kVRNAuthorityRequestKey = "request";
inline constexpr const char* kVRNAuthorityStatusKey = "status";
// Opens the session: {}.
inline constexpr const char* kVRNAuthorityRequestCreate = "create";
// Asks for one right: {"right", "interaction"}. When the right needs a user's password and
// interaction is allowed, the reply is {"status" = interaction not allowed, "credentials" =
// {"group", "user"}}: the group the user must belong to and the name to offer by default.
inline constexpr const char* kVRNAuthorityRequestCopyRight = "copyRight";
// Gives a user's name and password for one right: {"right", "user", "password"}. The
// reply's status is success (the right is now held) or denied.
inline constexpr const char* kVRNAuthorityRequestAuthenticate = "authenticate";
// The session's external form: the reply has "externalForm".
inline constexpr const char* kVRNAuthorityRequestExternalForm = "externalForm";

inline constexpr const char* kVRNAuthorityRightKey = "right";
inline constexpr const char* kVRNAuthorityInteractionKey = "interaction";
inline constexpr const char* kVRNAuthorityCredentialsKey = "credentials";
inline constexpr const char* kVRNAuthorityGroupKey = "group";
inline constexpr const char* kVRNAuthorityUserKey = "user";
inline constexpr const char* kVRNAuthorityPasswordKey = "password";
inline constexpr const char* kVRNAuthorityExternalFormKey = "externalForm";

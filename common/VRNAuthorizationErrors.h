#pragma once

// The authorization error domain and codes. Codes 1 to 4 carry "status", codes 4 to 6
// "rights" (code 4 may lack "status").

// The user dismissed the authentication prompt (VRNError::userCanceledAuthentication).
inline constexpr long VRNAuthorizationErrorCanceled = 0;
inline constexpr long VRNAuthorizationErrorCreateFailed = 1;
inline constexpr long VRNAuthorizationErrorMakeExternalFormFailed = 2;
inline constexpr long VRNAuthorizationErrorCreateFromExternalFormFailed = 3;
inline constexpr long VRNAuthorizationErrorSetRightsFailed = 4;
inline constexpr long VRNAuthorizationErrorValidateRightsFailed = 5;
inline constexpr long VRNAuthorizationErrorAuthorizeRightsFailed = 6;

// "com.vornhal.authorization"; defined beside the domain's table of texts.
extern const char* const VRNAuthorizationErrorDomain;

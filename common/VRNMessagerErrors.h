#pragma once

// The messager envelope's error domain and codes. Every error carries "message", the
// message number, except codes 7 and 8 when the connection itself failed; codes 2, 4, 7
// and 8 carry "payload", "reply", "service" and "service".

inline constexpr long VRNMessagerErrorAuthorizeFailed = 0;
inline constexpr long VRNMessagerErrorAuthorizationDataMissing = 1;
inline constexpr long VRNMessagerErrorSerializeFailed = 2;
inline constexpr long VRNMessagerErrorDeserializeFailed = 3;
inline constexpr long VRNMessagerErrorSerializeReplyFailed = 4;
inline constexpr long VRNMessagerErrorDeserializeReplyFailed = 5;
inline constexpr long VRNMessagerErrorUnarchiveReplyErrorFailed = 6;
inline constexpr long VRNMessagerErrorServiceUnavailable = 7;
inline constexpr long VRNMessagerErrorServiceDisappeared = 8;
// The server's answer to a message number its owner does not know, so that the client is not
// left waiting for a reply that would never come.
inline constexpr long VRNMessagerErrorUnknownMessage = 9;

// "com.vornhal.messager"; defined beside the domain's table of texts.
extern const char* const VRNMessagerErrorDomain;

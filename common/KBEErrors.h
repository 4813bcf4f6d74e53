#pragma once

// The daemon's own error domain and codes. Codes 3 to 5 carry "key", code 4 "expected".

inline constexpr long KBEErrorBackupRunning = 0;
inline constexpr long KBEErrorUpdateRunning = 1;
inline constexpr long KBEErrorPeersConnected = 2;
inline constexpr long KBEErrorMissingValue = 3;
inline constexpr long KBEErrorWrongType = 4;
inline constexpr long KBEErrorUnknownKey = 5;

// "com.vornhal.keelbrook"; defined beside the domain's table of texts.
extern const char* const KBEErrorDomain;

#pragma once

// The self-updater's error domain and codes. Codes 1 and 4 may carry "status-code", the
// HTTP status of the failed request; code 3 carries "info".

inline constexpr long VRNUpdaterErrorAlreadyLatest = 0;
inline constexpr long VRNUpdaterErrorFetchFailed = 1;
inline constexpr long VRNUpdaterErrorReadFailed = 2;
inline constexpr long VRNUpdaterErrorInvalidInformation = 3;
inline constexpr long VRNUpdaterErrorDownloadFailed = 4;
inline constexpr long VRNUpdaterErrorMoveFailed = 5;
inline constexpr long VRNUpdaterErrorValidationFailed = 6;
inline constexpr long VRNUpdaterErrorInstallFailed = 7;
inline constexpr long VRNUpdaterErrorNotNow = 8;
inline constexpr long VRNUpdaterErrorPhasedDeferral = 9;
inline constexpr long VRNUpdaterErrorUntrustedServer = 10;
inline constexpr long VRNUpdaterErrorTooManyRequests = 11;

// "com.vornhal.updater"; defined beside the domain's table of texts.
extern const char* const VRNUpdaterErrorDomain;

#include "common/VRNUpdaterErrors.h"

#include "common/VRNErrorTable.h"
#include "common/VRNLog.h"

#include <cstdint>
#include <map>
#include <string_view>

const char* const VRNUpdaterErrorDomain = "com.vornhal.updater";

namespace {

// The standard reason phrase of an HTTP status, in lower case as the platform gives it;
// statuses without one get the name of their class.
std::string_view reasonPhraseForStatusCode(std::int64_t status) {
    static const std::map<std::int64_t, std::string_view> phrases = {
        {100, "continue"},
        {101, "switching protocols"},
        {200, "ok"},
        {201, "created"},
        {202, "accepted"},
        {203, "non-authoritative information"},
        {204, "no content"},
        {205, "reset content"},
        {206, "partial content"},
        {300, "multiple choices"},
        {301, "moved permanently"},
        {302, "found"},
        {303, "see other"},
        {304, "not modified"},
        {305, "use proxy"},
        {307, "temporary redirect"},
        {308, "permanent redirect"},
        {400, "bad request"},
        {401, "unauthorized"},
        {402, "payment required"},
        {403, "forbidden"},
        {404, "not found"},
        {405, "method not allowed"},
        {406, "not acceptable"},
        {407, "proxy authentication required"},
        {408, "request timeout"},
        {409, "conflict"},
        {410, "gone"},
        {411, "length required"},
        {412, "precondition failed"},
        {413, "content too large"},
        {414, "uri too long"},
        {415, "unsupported media type"},
        {416, "range not satisfiable"},
        {417, "expectation failed"},
        {421, "misdirected request"},
        {422, "unprocessable content"},
        {426, "upgrade required"},
        {428, "precondition required"},
        {429, "too many requests"},
        {431, "request header fields too large"},
        {451, "unavailable for legal reasons"},
        {500, "internal server error"},
        {501, "not implemented"},
        {502, "bad gateway"},
        {503, "service unavailable"},
        {504, "gateway timeout"},
        {505, "http version not supported"},
        {511, "network authentication required"},
    };
    if (auto found = phrases.find(status); found != phrases.end()) {
        return found->second;
    }
    switch (status / 100) {
    case 1:
        return "informational";
    case 2:
        return "success";
    case 3:
        return "redirected";
    case 4:
        return "client error";
    default:
        return "server error";
    }
}

// With "status-code": the sentence, the status's reason phrase and the status.
std::string withStatus(const char* sentence, const VRNErrorInfo& info) {
    const plist::Value* status = info.object("status-code");
    if (status == nullptr) {
        return sentence;
    }
    const std::int64_t number = status->asInteger().value_or(0);
    return VRNErrorText("%@ %@ (%@).", sentence, reasonPhraseForStatusCode(number), status);
}

const VRNErrorCode codes[] = {
    {VRNUpdaterErrorAlreadyLatest, VRNLogLevelDefault,
     "You are already running the latest version."},
    {VRNUpdaterErrorFetchFailed, VRNLogLevelError, "Could not fetch update information.",
     withStatus},
    {VRNUpdaterErrorReadFailed, VRNLogLevelError, "Could not read update data."},
    {VRNUpdaterErrorInvalidInformation, VRNLogLevelError, nullptr,
     [](const char*, const VRNErrorInfo& info) {
         return VRNErrorText("Invalid update information: %@.", info.object("info"));
     }},
    {VRNUpdaterErrorDownloadFailed, VRNLogLevelError, "Could not download update.", withStatus},
    {VRNUpdaterErrorMoveFailed, VRNLogLevelError, "Could not move update package."},
    {VRNUpdaterErrorValidationFailed, VRNLogLevelError, "Could not validate update."},
    {VRNUpdaterErrorInstallFailed, VRNLogLevelError, "Could not install update."},
    {VRNUpdaterErrorNotNow, VRNLogLevelDefault, "Update cannot be performed now."},
    {VRNUpdaterErrorPhasedDeferral, VRNLogLevelDefault,
     "Update has been deferred due to phased update."},
    {VRNUpdaterErrorUntrustedServer, VRNLogLevelError,
     "The update server could not be trusted, you may be victim of SSL/TLS decryption."},
    {VRNUpdaterErrorTooManyRequests, VRNLogLevelError,
     "You have made too many requests to the update server. Please try again later."},
};

const VRNErrorTableRegistration registration{{VRNUpdaterErrorDomain, codes}};

} // namespace

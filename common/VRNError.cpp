#include "common/VRNError.h"

#include "common/VRNLog.h"

#include <cstring>
#include <map>
#include <string_view>

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

// Reads the user info the way the texts use it: objects as they are (missing ones print
// "(null)"), numbers as integers (0 when missing or not a number).
class UserInfoReader {
public:
    explicit UserInfoReader(const plist::Dictionary& info) : info_(info) {}

    const plist::Value* object(std::string_view key) const {
        auto found = info_.find(key);
        return found == info_.end() ? nullptr : &found->second;
    }
    std::int64_t integer(std::string_view key) const {
        const plist::Value* value = object(key);
        return value ? value->asInteger().value_or(0) : 0;
    }

private:
    const plist::Dictionary& info_;
};

template <class... Args>
std::string text(VRNFormatFor<Args...> format, const Args&... args) {
    // Literal formats are checked at compile time, so formatting cannot fail here.
    return VRNFormat<Args...>(format, args...).value_or(std::string());
}

std::string systemErrorText(int number) {
    const char* description = strerrordesc_np(number);
    return description ? description : text("Unknown error %d", number);
}

std::string signalText(int number) {
    const char* description = sigdescr_np(number);
    return description ? description : text("Unknown signal %d", number);
}

std::optional<std::string> updaterText(long code, const UserInfoReader& info) {
    static constexpr const char* sentences[] = {
        "You are already running the latest version.",
        "Could not fetch update information.",
        "Could not read update data.",
        nullptr, // code 3 has an argument
        "Could not download update.",
        "Could not move update package.",
        "Could not validate update.",
        "Could not install update.",
        "Update cannot be performed now.",
        "Update has been deferred due to phased update.",
        "The update server could not be trusted, you may be victim of SSL/TLS decryption.",
        "You have made too many requests to the update server. Please try again later.",
    };
    if (code == 3) {
        return text("Invalid update information: %@.", info.object("info"));
    }
    if (code < 0 || code > 11) {
        return std::nullopt;
    }
    const plist::Value* status = info.object("status-code");
    if ((code == 1 || code == 4) && status != nullptr) {
        const std::int64_t number = status->asInteger().value_or(0);
        return text("%@ %@ (%@).", sentences[code], reasonPhraseForStatusCode(number), status);
    }
    return std::string(sentences[code]);
}

std::optional<std::string> installerPackageText(long code, const UserInfoReader& info) {
    switch (code) {
    case 0:
        return text("Could not read installer package at path '%@'.", info.object("path"));
    case 1:
        return "Installer package is not signed.";
    case 2:
        return "Installer package signature is invalid.";
    default:
        return std::nullopt;
    }
}

std::optional<std::string> spawnerText(long code, const UserInfoReader& info) {
    const plist::Value* tool = info.object("tool");
    switch (code) {
    case 0: {
        const int number = static_cast<int>(info.integer("errno"));
        return text("Could not spawn '%@'. %s (%d).", tool, systemErrorText(number), number);
    }
    case 1:
        return text("%@ exited with status %@.", tool, info.object("exit-status"));
    case 2: {
        const int number = static_cast<int>(info.integer("signal"));
        return text("%@ received signal %d (%s).", tool, number, signalText(number));
    }
    default:
        return std::nullopt;
    }
}

std::optional<std::string> messagerText(long code, const UserInfoReader& info) {
    const auto message = static_cast<unsigned long>(info.integer("message"));
    const bool hasMessage = info.object("message") != nullptr;
    switch (code) {
    case 0:
        return text("Could not authorize message (%lu).", message);
    case 1:
        return text("Authorization data is missing for message (%lu).", message);
    case 2:
        return text("Could not serialize message (%lu), payload: %@.", message,
                    info.object("payload"));
    case 3:
        return text("Could not deserialize message (%lu).", message);
    case 4:
        return text("Could not serialize reply for message (%lu), reply: %@.", message,
                    info.object("reply"));
    case 5:
        return text("Could not deserialize reply for message (%lu).", message);
    case 6:
        return text("Could not unarchive reply error for message (%lu).", message);
    case 7:
        return hasMessage ? text("Could not send message (%lu), the service is not available (%@).",
                                 message, info.object("service"))
                          : text("The service is not available (%@).", info.object("service"));
    case 8:
        return hasMessage
                   ? text("Could not send message (%lu), the service disappeared (crash?) (%@).",
                          message, info.object("service"))
                   : text("The service disappeared (%@).", info.object("service"));
    default:
        return std::nullopt;
    }
}

// The rights joined with ", " (each as its description).
std::string joinedRights(const plist::Value* rights) {
    if (rights == nullptr || !rights->isArray()) {
        return plist::description(rights);
    }
    std::string joined;
    for (const plist::Value& right : *rights->asArray()) {
        if (!joined.empty()) {
            joined += ", ";
        }
        joined += plist::description(right);
    }
    return joined;
}

std::optional<std::string> authorizationText(long code, const UserInfoReader& info) {
    const plist::Value* status = info.object("status");
    switch (code) {
    case 0:
        return "User canceled authentication.";
    case 1:
        return text("Could not create authorization: %@.", status);
    case 2:
        return text("Could not make external form: %@.", status);
    case 3:
        return text("Could not create from external form: %@.", status);
    case 4:
        return status ? text("Could not set rights (%@): %@.", status,
                             joinedRights(info.object("rights")))
                      : text("Could not set rights: %@.", joinedRights(info.object("rights")));
    case 5:
        return text("Could not validate rights: %@.", info.object("rights"));
    case 6:
        return text("Could not authorize rights: %@.", info.object("rights"));
    default:
        return std::nullopt;
    }
}

std::optional<std::string> keelbrookText(long code, const UserInfoReader& info) {
    switch (code) {
    case 0:
        return "A backup operation is currently running.";
    case 1:
        return "An update operation is currently running.";
    case 2:
        return "Peers are connected.";
    case 3:
        return text("Missing value for key: '%@'.", info.object("key"));
    case 4:
        return text("Wrong type for key: '%@', expected: '%@'.", info.object("key"),
                    info.object("expected"));
    case 5:
        return text("Unknown key: '%@'.", info.object("key"));
    default:
        return std::nullopt;
    }
}

// Errors without a table: their own text when they carry one, else a generic sentence.
std::string ownText(const VRNError& error) {
    const plist::Value* own = UserInfoReader(error.userInfo()).object(VRNLocalizedDescriptionKey);
    if (own != nullptr && own->isString()) {
        return *own->asString();
    }
    return text("The operation could not be completed. (%@ error %ld.)", error.domain(),
                error.code());
}

bool isDomain(const VRNError& error, const char* domain) {
    return error.domain() == domain;
}

// Nesting of containers below `value`, up to `limit`.
bool isNestedAtMost(const plist::Value& value, int limit) {
    if (limit < 0) {
        return false;
    }
    if (const plist::Array* array = value.asArray()) {
        for (const plist::Value& element : *array) {
            if (!isNestedAtMost(element, limit - 1)) {
                return false;
            }
        }
    } else if (const plist::Dictionary* dictionary = value.asDictionary()) {
        for (const auto& [key, element] : *dictionary) {
            if (!isNestedAtMost(element, limit - 1)) {
                return false;
            }
        }
    }
    return true;
}

std::optional<VRNError> readArchive(const plist::Value& archive, int depth, std::string* reason) {
    auto fail = [&](const char* why) -> std::optional<VRNError> {
        if (reason) {
            *reason = why;
        }
        return std::nullopt;
    };
    if (depth > VRNError::kMaximumArchiveDepth) {
        return fail("underlying errors nested too deeply");
    }
    const plist::Dictionary* fields = archive.asDictionary();
    if (fields == nullptr) {
        return fail("error archive is not a dictionary");
    }
    for (const auto& [key, value] : *fields) {
        if (key != "domain" && key != "code" && key != "userInfo" && key != "underlyingError") {
            return fail("unknown key in error archive");
        }
    }
    const plist::Value* domain = archive.find("domain");
    const plist::Value* code = archive.find("code");
    const plist::Value* userInfo = archive.find("userInfo");
    if (domain == nullptr || !domain->isString()) {
        return fail("error domain missing or not a string");
    }
    if (code == nullptr || !code->isInteger()) {
        return fail("error code missing or not an integer");
    }
    if (userInfo == nullptr || !userInfo->isDictionary()) {
        return fail("error user info missing or not a dictionary");
    }
    if (!isNestedAtMost(*userInfo, VRNError::kMaximumArchiveDepth)) {
        return fail("error user info nested too deeply");
    }
    VRNUserInfo info(*userInfo->asDictionary());
    if (const plist::Value* underlying = archive.find("underlyingError")) {
        auto error = readArchive(*underlying, depth + 1, reason);
        if (!error) {
            return std::nullopt;
        }
        info.underlyingError = std::make_shared<const VRNError>(std::move(*error));
    }
    return VRNError(*domain->asString(), static_cast<long>(*code->asInteger()), std::move(info));
}

} // namespace

VRNUserInfo::VRNUserInfo(plist::Dictionary values, const VRNError& underlyingError)
    : values(std::move(values)),
      underlyingError(std::make_shared<const VRNError>(underlyingError)) {}

VRNError::VRNError(std::string domain, long code, VRNUserInfo userInfo)
    : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo.values)),
      underlyingError_(std::move(userInfo.underlyingError)) {}

VRNError VRNError::errorWithDomain(std::string domain, long code, VRNUserInfo userInfo) {
    VRNError error(std::move(domain), code, std::move(userInfo));
    VRNLog(logLevelForError(error), "%@", localizedDescriptionForError(error));
    return error;
}

int VRNError::logLevelForError(const VRNError& error) {
    const long code = error.code();
    if (isDomain(error, VRNUpdaterErrorDomain) && (code == 0 || code == 8 || code == 9)) {
        return VRNLogLevelDefault;
    }
    if (isDomain(error, VRNMessagerErrorDomain) && (code == 7 || code == 8)) {
        return VRNLogLevelDefault;
    }
    if (isDomain(error, VRNAuthorizationErrorDomain) && code == 0) {
        return VRNLogLevelInfo;
    }
    if (isDomain(error, KBEErrorDomain) && code >= 0 && code <= 2) {
        return VRNLogLevelDefault;
    }
    return VRNLogLevelError;
}

std::string VRNError::localizedDescriptionForError(const VRNError& error) {
    std::string joined = _localizedDescriptionForError(error);
    for (const VRNError* below = error.underlyingError(); below; below = below->underlyingError()) {
        joined += ' ';
        joined += _localizedDescriptionForError(*below);
    }
    return joined;
}

std::string VRNError::_localizedDescriptionForError(const VRNError& error) {
    const UserInfoReader info(error.userInfo());
    std::optional<std::string> text;
    if (isDomain(error, VRNUpdaterErrorDomain)) {
        text = updaterText(error.code(), info);
    } else if (isDomain(error, VRNInstallerPackageErrorDomain)) {
        text = installerPackageText(error.code(), info);
    } else if (isDomain(error, VRNSpawnerErrorDomain)) {
        text = spawnerText(error.code(), info);
    } else if (isDomain(error, VRNMessagerErrorDomain)) {
        text = messagerText(error.code(), info);
    } else if (isDomain(error, VRNAuthorizationErrorDomain)) {
        text = authorizationText(error.code(), info);
    } else if (isDomain(error, KBEErrorDomain)) {
        text = keelbrookText(error.code(), info);
    }
    return text ? std::move(*text) : ownText(error);
}

plist::Value VRNError::dictionaryForError(const VRNError& error) {
    plist::Dictionary archive{
        {"domain", error.domain()},
        {"code", static_cast<std::int64_t>(error.code())},
        {"userInfo", error.userInfo()},
    };
    if (const VRNError* underlying = error.underlyingError()) {
        archive.emplace("underlyingError", dictionaryForError(*underlying));
    }
    return archive;
}

std::optional<VRNError> VRNError::errorWithDictionary(const plist::Value& dictionary,
                                                      std::string* reason) {
    return readArchive(dictionary, 0, reason);
}

bool VRNError::userCanceledAuthentication() const {
    for (const VRNError* error = this; error; error = error->underlyingError()) {
        if (isDomain(*error, VRNAuthorizationErrorDomain) && error->code() == 0) {
            return true;
        }
    }
    return false;
}

std::string VRNError::description() const {
    std::map<std::string_view, std::string> entries;
    for (const auto& [key, value] : userInfo_) {
        entries.emplace(key, plist::description(value));
    }
    if (underlyingError_) {
        entries.insert_or_assign(VRNUnderlyingErrorKey,
                                 "{" + underlyingError_->description() + "}");
    }
    std::string out = text("Error Domain=%@ Code=%ld \"%@\" UserInfo={", domain_, code_,
                           _localizedDescriptionForError(*this));
    bool first = true;
    for (const auto& [key, value] : entries) {
        out += first ? "" : ", ";
        first = false;
        out += key;
        out += '=';
        out += value;
    }
    out += '}';
    return out;
}

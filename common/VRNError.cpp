#include "common/VRNError.h"

#include "common/VRNAuthorizationErrors.h"
#include "common/VRNErrorTable.h"
#include "common/VRNLog.h"

#include <map>
#include <string_view>

namespace {

// Errors without a table: their own text when they carry one, else a generic sentence.
std::string ownText(const VRNError& error) {
    const plist::Value* own = VRNErrorInfo(error.userInfo()).object(VRNLocalizedDescriptionKey);
    if (own != nullptr && own->isString()) {
        return *own->asString();
    }
    return VRNErrorText("The operation could not be completed. (%@ error %ld.)", error.domain(),
                        error.code());
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
    const VRNErrorCode* entry = VRNErrorTables::find(error.domain(), error.code());
    return entry ? entry->level : VRNLogLevelError;
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
    const VRNErrorCode* entry = VRNErrorTables::find(error.domain(), error.code());
    return entry ? entry->textFor(VRNErrorInfo(error.userInfo())) : ownText(error);
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
        if (error->domain() == VRNAuthorizationErrorDomain &&
            error->code() == VRNAuthorizationErrorCanceled) {
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
    std::string out = VRNErrorText("Error Domain=%@ Code=%ld \"%@\" UserInfo={", domain_, code_,
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

#pragma once

// Error values: a domain, a code and a user-info dictionary of property-list values, with an
// optional underlying error. Product code creates them with VRNError::errorWithDomain, which
// logs each one once at its creation; the texts users see come from
// VRNError::localizedDescriptionForError. Each domain's codes, texts and levels live with the
// domain (its header and its table, VRNErrorTable.h).

#include "common/VRNFormat.h"
#include "platform/plist/Value.h"

#include <initializer_list>
#include <memory>
#include <optional>
#include <string>

// The user-info key under which an error's description shows its underlying error.
inline constexpr const char* VRNUnderlyingErrorKey = "VRNUnderlyingError";
// The user-info key of an error's own text, for errors of domains without a table (errors
// passed on from the system).
inline constexpr const char* VRNLocalizedDescriptionKey = "VRNLocalizedDescription";

class VRNError;

// The user info an error is created with: property-list values by key, and the underlying
// error when there is one.
struct VRNUserInfo {
    VRNUserInfo() = default;
    VRNUserInfo(std::initializer_list<plist::Dictionary::value_type> entries) : values(entries) {}
    VRNUserInfo(plist::Dictionary values) : values(std::move(values)) {}
    VRNUserInfo(plist::Dictionary values, const VRNError& underlyingError);

    plist::Dictionary values;
    std::shared_ptr<const VRNError> underlyingError;
};

class VRNError {
public:
    // Creates the error without logging it (errors read back from an archive or passed on
    // from elsewhere); product code uses errorWithDomain.
    VRNError(std::string domain, long code, VRNUserInfo userInfo = {});

    // Creates the error, logs its text at its level, and returns it.
    static VRNError errorWithDomain(std::string domain, long code, VRNUserInfo userInfo = {});

    // The level of the error's code in its domain's table; 16 (error) for codes and domains
    // without one.
    static int logLevelForError(const VRNError& error);
    // The text of the error followed by the texts of its underlying errors, joined by blanks.
    static std::string localizedDescriptionForError(const VRNError& error);
    // The text of this one error: from its domain's table, else its own text.
    static std::string _localizedDescriptionForError(const VRNError& error);

    // The error as a property-list dictionary: "domain", "code", "userInfo" and, when there
    // is one, "underlyingError" (the same shape, nested).
    static plist::Value dictionaryForError(const VRNError& error);
    // Reads such a dictionary back. Strict: only the shape written above, with underlying
    // errors and user-info values nested at most kMaximumArchiveDepth deep; anything else
    // gives nullopt and the reason in `reason`.
    static std::optional<VRNError> errorWithDictionary(const plist::Value& dictionary,
                                                       std::string* reason);
    static constexpr int kMaximumArchiveDepth = 16;

    const std::string& domain() const { return domain_; }
    long code() const { return code_; }
    const plist::Dictionary& userInfo() const { return userInfo_; }
    const VRNError* underlyingError() const { return underlyingError_.get(); }

    // True when this error or one below it is VRNAuthorizationErrorCanceled (the user
    // dismissed the authentication prompt).
    bool userCanceledAuthentication() const;

    // "Error Domain=D Code=N "text" UserInfo={key=value, ...}", what "%@" prints.
    std::string description() const;

private:
    std::string domain_;
    long code_;
    plist::Dictionary userInfo_;
    std::shared_ptr<const VRNError> underlyingError_;
};

template <>
struct VRNObjectTraits<VRNError> {
    static void append(std::string& out, const VRNError& error) { out += error.description(); }
};

#pragma once

// The envelope's encodings, shared by both sides: property-list payloads as binary property
// lists, and errors as the property list of their dictionary form (domain, code, user info,
// underlying error), also binary.

#include "common/VRNError.h"
#include "platform/plist/Value.h"

#include <optional>
#include <string>

// Keys of requests and replies.
inline constexpr const char* kVRNMessagerMessageKey = "message";
inline constexpr const char* kVRNMessagerPayloadKey = "payload";
inline constexpr const char* kVRNMessagerAuthKey = "auth";
inline constexpr const char* kVRNMessagerErrorKey = "error";

// A payload or reply object as bytes, or none with the writer's reason.
std::optional<plist::Data> VRNMessagerEncodeObject(const plist::Value& object, std::string* reason);
// Any property-list format is accepted; none with the reader's reason.
std::optional<plist::Value> VRNMessagerDecodeObject(const plist::Data& bytes, std::string* reason);

std::optional<plist::Data> VRNMessagerArchiveError(const VRNError& error, std::string* reason);
std::optional<VRNError> VRNMessagerUnarchiveError(const plist::Data& bytes, std::string* reason);

// An error of the system (a reader's or writer's reason) to put under a messager error.
VRNError VRNMessagerReasonError(const std::string& reason);

// The user info every messager error carries: "message" = the number.
plist::Dictionary VRNMessagerInfo(long message);

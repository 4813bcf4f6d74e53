#include "common/VRNMessagerCoding.h"

#include "platform/plist/Plist.h"

namespace {
// The domain of the reasons the property-list codecs give.
constexpr const char* kPropertyListErrorDomain = "com.vornhal.property-list";
} // namespace

std::optional<plist::Data> VRNMessagerEncodeObject(const plist::Value& object,
                                                   std::string* reason) {
    return plist::writeBinary(object, reason);
}

std::optional<plist::Value> VRNMessagerDecodeObject(const plist::Data& bytes, std::string* reason) {
    return plist::read(bytes, plist::kMessageSizeLimit, reason);
}

std::optional<plist::Data> VRNMessagerArchiveError(const VRNError& error, std::string* reason) {
    return plist::writeBinary(VRNError::dictionaryForError(error), reason);
}

std::optional<VRNError> VRNMessagerUnarchiveError(const plist::Data& bytes, std::string* reason) {
    auto archive = plist::readBinary(bytes, plist::kMessageSizeLimit, reason);
    if (!archive) {
        return std::nullopt;
    }
    return VRNError::errorWithDictionary(*archive, reason);
}

VRNError VRNMessagerReasonError(const std::string& reason) {
    return VRNError(kPropertyListErrorDomain, 0,
                    {{VRNLocalizedDescriptionKey, plist::Value(reason)}});
}

plist::Dictionary VRNMessagerInfo(long message) {
    return {{"message", plist::Value(static_cast<std::int64_t>(message))}};
}

#include "fuzz/EnvelopeEntries.h"

#include "common/VRNMessagerClient.h"
#include "common/VRNMessagerCoding.h"
#include "common/VRNMessagerErrors.h"
#include "platform/plist/Plist.h"
#include "platform/socket/Frame.h"
#include "tests/platform/socket/fuzz/FuzzEntries.h"

#include <memory>
#include <span>

namespace messagerfuzz {

namespace {

// Replies are decoded without any request being sent: the client never connects.
class NoAuthorization : public VRNMessagerClientAuthorization {
public:
    std::optional<plist::Data>
    authorizationExternalDataWithRights(const std::vector<std::string>&,
                                        std::optional<VRNError>*) override {
        return std::nullopt;
    }
};

VRNMessagerClient& client() {
    static NoAuthorization authorization;
    static VRNMessagerClient client("com.vornhal.fuzz", "/nonexistent/fuzz.socket", {},
                                    authorization);
    return client;
}

// Values are compared by their encoding: a NaN real equals nothing, not even itself.
std::optional<plist::Data> encoded(const plist::Value& value) {
    std::string reason;
    return plist::writeBinary(value, &reason);
}

std::optional<std::string> checkError(const VRNError& error) {
    if (error.domain() == VRNMessagerErrorDomain &&
        error.code() == VRNMessagerErrorUnarchiveReplyErrorFailed) {
        return std::nullopt; // the archive did not read: the client said so
    }
    std::string reason;
    const auto archive = VRNMessagerArchiveError(error, &reason);
    if (!archive) {
        return "an error read from a reply does not archive again: " + reason;
    }
    const auto again = VRNMessagerUnarchiveError(*archive, &reason);
    if (!again) {
        return "an error read from a reply does not read back: " + reason;
    }
    if (encoded(VRNError::dictionaryForError(*again)) !=
        encoded(VRNError::dictionaryForError(error))) {
        return std::string("an error read from a reply reads back different");
    }
    return std::nullopt;
}

std::optional<std::string> checkReply(const plist::Dictionary& reply) {
    const auto number = reply.find(kVRNMessagerMessageKey);
    const long message = number == reply.end() ? 0 : number->second.asInteger().value_or(0);
    if (const auto error = client().errorForMessage(message, reply)) {
        return checkError(*error);
    }
    std::optional<VRNError> error;
    const auto payload = client().payloadForMessage(message, reply, &error);
    if (!payload) {
        if (!error || error->domain() != VRNMessagerErrorDomain ||
            error->code() != VRNMessagerErrorDeserializeReplyFailed) {
            return std::string("an unreadable payload without the messager's error");
        }
        return std::nullopt;
    }
    std::string reason;
    const auto bytes = VRNMessagerEncodeObject(*payload, &reason);
    if (!bytes) {
        return "a payload read from a reply does not encode again: " + reason;
    }
    const auto again = VRNMessagerDecodeObject(*bytes, &reason);
    if (!again || encoded(*again) != encoded(*payload)) {
        return std::string("a payload read from a reply does not read back the same");
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> envelopeInput(const std::uint8_t* data, std::size_t size) {
    if (auto problem = sockets::fuzz::frameInput(data, size)) {
        return problem;
    }
    sockets::FrameReader reader;
    reader.append(std::span<const std::uint8_t>(data, size));
    for (;;) {
        plist::Value frame(false);
        std::string error;
        if (reader.next(&frame, &error) != sockets::FrameReader::Status::Frame) {
            return std::nullopt;
        }
        if (const plist::Dictionary* reply = frame.asDictionary()) {
            if (auto problem = checkReply(*reply)) {
                return problem;
            }
        }
    }
}

} // namespace messagerfuzz

#include "FuzzEntries.h"

#include "platform/plist/Plist.h"

namespace plist::fuzz {

namespace {

// Binary is lossless: a value read from any input must survive write -> read -> write.
std::optional<std::string> checkBinaryRoundTrip(const Value& value) {
    std::string error;
    auto first = writeBinary(value, &error);
    if (!first) {
        return "value read cannot be written as binary: " + error;
    }
    auto back = readBinary(*first, plist::kMessageSizeLimit, &error);
    if (!back) {
        return "binary written cannot be read: " + error;
    }
    auto second = writeBinary(*back, &error);
    if (!second || *second != *first) {
        return "binary round trip changed the file";
    }
    return std::nullopt;
}

// XML loses sub-second dates and may refuse some strings; once written, it must be stable.
std::optional<std::string> checkXmlRoundTrip(const Value& value, bool mustWrite) {
    std::string error;
    auto first = writeXml(value, &error);
    if (!first) {
        return mustWrite ? std::optional<std::string>("value read from XML cannot be written "
                                                      "as XML: " +
                                                      error)
                         : std::nullopt;
    }
    auto back = readXml(plist::bytesOf(*first), plist::kMessageSizeLimit, &error);
    if (!back) {
        // Deeper than libxml2's own limit: the only XML we write but cannot read.
        return error.find("Excessive depth") != std::string::npos
                   ? std::nullopt
                   : std::optional<std::string>("XML written cannot be read: " + error);
    }
    auto second = writeXml(*back, &error);
    if (!second || *second != *first) {
        return "XML round trip changed the file";
    }
    return std::nullopt;
}

std::optional<std::string> checkValue(const Value& value, bool fromXml) {
    (void)description(value);
    (void)writeJson(value, nullptr, {.datesAndDataAsText = true});
    if (auto problem = checkBinaryRoundTrip(value)) {
        return problem;
    }
    return checkXmlRoundTrip(value, fromXml);
}

} // namespace

std::optional<std::string> binaryInput(const std::uint8_t* data, std::size_t size) {
    std::string error;
    auto value = readBinary({data, size}, plist::kMessageSizeLimit, &error);
    if (!value) {
        return error.empty() ? std::optional<std::string>("refused without an error text")
                             : std::nullopt;
    }
    return checkValue(*value, false);
}

std::optional<std::string> xmlInput(const std::uint8_t* data, std::size_t size) {
    std::string error;
    auto value = readXml({data, size}, plist::kMessageSizeLimit, &error);
    if (!value) {
        return error.empty() ? std::optional<std::string>("refused without an error text")
                             : std::nullopt;
    }
    return checkValue(*value, true);
}

} // namespace plist::fuzz

#include "platform/plist/Plist.h"

namespace plist {

std::optional<Value> read(std::span<const std::uint8_t> bytes, std::size_t sizeLimit,
                          std::string* error, Format* format) {
    const Format detected = isBinary(bytes) ? Format::Binary : Format::Xml;
    if (format) {
        *format = detected;
    }
    return detected == Format::Binary ? readBinary(bytes, sizeLimit, error)
                                      : readXml(bytes, sizeLimit, error);
}

Format detectFormat(std::span<const std::uint8_t> bytes) {
    if (isBinary(bytes)) {
        return Format::Binary;
    }
    std::size_t at = 0;
    if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        at = 3;
    }
    for (; at < bytes.size(); ++at) {
        const std::uint8_t b = bytes[at];
        if (b != ' ' && b != '\t' && b != '\r' && b != '\n') {
            // UTF-16 and other encodings (byte-order marks, NUL bytes) are XML's to read.
            return b == '<' || b == 0 || b >= 0x80 ? Format::Xml : Format::Json;
        }
    }
    return Format::Xml;
}

std::string sizeLimitError(std::size_t limit, std::optional<std::size_t> size) {
    return "property list " + (size ? "of " + std::to_string(*size) + " bytes " : "") +
           "is larger than the limit of " + std::to_string(limit) + " bytes";
}

std::string outOfMemoryError(std::size_t size) {
    return "not enough memory to read a property list of " + std::to_string(size) + " bytes";
}

} // namespace plist

#include "platform/plist/Plist.h"

namespace plist {

std::optional<Value> read(std::span<const std::uint8_t> bytes, std::string* error, Format* format) {
    const Format detected = isBinary(bytes) ? Format::Binary : Format::Xml;
    if (format) {
        *format = detected;
    }
    return detected == Format::Binary ? readBinary(bytes, error) : readXml(bytes, error);
}

} // namespace plist

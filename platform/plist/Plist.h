#pragma once

// The property-list value type and every file form of it.

#include "platform/plist/Binary.h"
#include "platform/plist/Json.h"
#include "platform/plist/Limits.h"
#include "platform/plist/Value.h"
#include "platform/plist/Xml.h"

#include <span>
#include <string_view>

namespace plist {

enum class Format { Binary, Xml, Json };

// The bytes of a text, as the readers take them.
inline std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Reads a binary or an XML property list, telling them apart by the binary signature;
// `format` (when given) receives which one it was. Inputs larger than `sizeLimit`
// (Limits.h) are refused unread.
std::optional<Value> read(std::span<const std::uint8_t> bytes, std::size_t sizeLimit,
                          std::string* error, Format* format = nullptr);

// The form the bytes are in, by content: the binary signature; otherwise XML when the
// first character (after white space and a byte-order mark) is "<" or the text is not
// UTF-8; JSON for anything else, scalars included.
Format detectFormat(std::span<const std::uint8_t> bytes);

} // namespace plist

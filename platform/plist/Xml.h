#pragma once

#include "platform/plist/Limits.h"
#include "platform/plist/Value.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace plist {

// Reads an XML property list through libxml2 with network access and entity expansion off;
// entity references other than the predefined ones are refused, and nesting is bounded by
// libxml2's own depth limit. Attributes are refused on every element but <plist> (which
// may carry a few) before libxml2 parses them, so reading stays linear in the input.
// Inputs larger than `sizeLimit` (Limits.h) are refused unread. On failure returns nullopt
// and sets `error` to the line and what was wrong
// ("line 7: <integer> \"12x\" is not an integer").
std::optional<Value> readXml(std::span<const std::uint8_t> bytes, std::size_t sizeLimit,
                             std::string* error);

// Writes `value` as an XML property list in the platform's layout: the XML declaration and
// DOCTYPE, tab indentation, <true/>/<false/>, <array/> and <dict/> for empty containers,
// reals in their shortest exact form ("+infinity", "-infinity", "nan" where not finite),
// dates in whole UTC seconds, and base64 data in lines of 76 columns minus the indentation
// (tabs counted as eight, at least 16 characters). Fails (nullopt, `error` set) on strings
// that are not UTF-8 or hold characters XML 1.0 cannot carry, on dates outside the years
// 1 to 9999 and on nesting deeper than kMaxNesting.
std::optional<std::string> writeXml(const Value& value, std::string* error);

} // namespace plist

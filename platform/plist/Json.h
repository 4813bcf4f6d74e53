#pragma once

#include "platform/plist/Limits.h"
#include "platform/plist/Value.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace plist {

struct JsonOptions {
    // JSON has no dates and no data: by default a value holding either cannot be written
    // (as on the platform). With this set, dates become ISO-8601 text
    // ("2026-12-08T03:00:00Z") and data base64 text instead.
    bool datesAndDataAsText = false;
};

// Pretty-printed JSON (two spaces of indentation, keys in ascending order, no final
// newline). Fails (nullopt, `error` set) on dates and data unless the options allow them,
// on reals that are not finite, on strings that are not UTF-8 and on nesting deeper than
// kMaxNesting.
std::optional<std::string> writeJson(const Value& value, std::string* error,
                                     JsonOptions options = {});

// Reads JSON: objects, arrays, strings, booleans, integers in the signed 64-bit range and
// reals. Refused: null, duplicate keys, integers outside the signed 64-bit range (however
// large), nesting deeper than kMaxNesting (checked while parsing, so a deep input costs no
// more than a shallow one) and inputs larger than `sizeLimit` (Limits.h), unread.
std::optional<Value> readJson(std::span<const std::uint8_t> bytes, std::size_t sizeLimit,
                              std::string* error);

} // namespace plist

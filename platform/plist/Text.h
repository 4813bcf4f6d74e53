#pragma once

// Text conversions shared by the codecs and printers of this library (not public).

#include "platform/plist/Value.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace plist::text {

// Shortest decimal text that reads back as the same double ("1", "0.1", "1e+300");
// non-finite values as `infinity`/`-infinity` (with a leading "+" when `plusInfinity`) or
// "nan".
std::string formatReal(double value, std::string_view infinity = "inf", bool plusInfinity = false);

// A date's whole seconds (rounded toward the past) in the Gregorian calendar, UTC.
struct CivilTime {
    std::int64_t year;
    int month, day, hour, minute, second;
};
// Nullopt for dates that are not finite or lie outside the years 1 to 9999.
std::optional<CivilTime> civilTime(Date date);

// "2026-12-08T03:00:00Z" and its reverse (exactly that form, nothing else).
std::optional<std::string> formatIso8601(Date date);
std::optional<Date> parseIso8601(std::string_view text);

// "2026-12-08 03:00:00 +0000"; a date outside the years 1 to 9999 prints as its number of
// seconds since the reference date.
std::string formatDescriptionDate(Date date);

// Standard base64 with padding. `lineLength` 0 gives one line; otherwise lines of that
// many characters, each preceded by `linePrefix` and followed by a newline.
std::string encodeBase64(const Data& data, std::size_t lineLength = 0,
                         std::string_view linePrefix = {});
// Accepts white space anywhere and optional padding; nullopt on any other stray character.
std::optional<Data> decodeBase64(std::string_view text);

// The offset of the first byte that does not belong to well-formed UTF-8 (no surrogates,
// no overlong forms), or nullopt when all of `text` is well formed.
std::optional<std::size_t> invalidUtf8Offset(std::string_view text);

// Well-formed UTF-8 to UTF-16 code units and back; nullopt on malformed input (including
// unpaired surrogates).
std::optional<std::u16string> utf8ToUtf16(std::string_view text);
std::optional<std::string> utf16ToUtf8(std::u16string_view text);

} // namespace plist::text

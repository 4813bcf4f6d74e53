#pragma once

#include "platform/plist/Limits.h"
#include "platform/plist/Value.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace plist {

// Containers nest at most this deep in what the readers accept and the writers produce.
inline constexpr std::size_t kMaxNesting = 512;

// True when `bytes` begin with the binary property-list signature "bplist00".
bool isBinary(std::span<const std::uint8_t> bytes);

// Reads a binary property list ("bplist00"). Strict and bounded: every offset, count and
// reference is checked against the input, reference cycles and nesting deeper than
// kMaxNesting are refused, and so are values whose shared objects would print as far more
// text than the file could hold (see BinaryReader.cpp). Inputs larger than `sizeLimit`
// (Limits.h) are refused unread; memory stays in proportion to the input, and running out
// of it is reported like any other failure. On failure returns nullopt and sets `error`
// to what was wrong and where ("object 12 at offset 0x1f0: reference 40 out of range").
std::optional<Value> readBinary(std::span<const std::uint8_t> bytes, std::size_t sizeLimit,
                                std::string* error);

// Writes `value` as a binary property list. Equal strings, numbers, dates and data are
// stored once, and so is container storage shared between copies. Fails (nullopt, `error`
// set) on strings that are not UTF-8 and on nesting deeper than kMaxNesting.
std::optional<std::vector<std::uint8_t>> writeBinary(const Value& value, std::string* error);

} // namespace plist

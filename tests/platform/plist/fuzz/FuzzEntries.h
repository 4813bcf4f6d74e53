#pragma once

// Entry functions of the plist fuzz targets, shared by the libFuzzer programs (clang) and
// the replay of the committed corpus in the normal test run (gcc).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace plist::fuzz {

// Reads the input as a binary (an XML) property list; whatever reads must write, read back
// and write again to the same bytes in binary and in XML. Returns a description of the
// first broken invariant, or nullopt.
std::optional<std::string> binaryInput(const std::uint8_t* data, std::size_t size);
std::optional<std::string> xmlInput(const std::uint8_t* data, std::size_t size);

} // namespace plist::fuzz

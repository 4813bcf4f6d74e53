#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace plist {

// The largest input each kind of caller hands to a reader. Every reader refuses a larger
// input before it looks at a byte, so a caller that reads a file or a frame can stop at the
// limit too.
inline constexpr std::size_t kMessageSizeLimit = std::size_t{1} << 20;      // one message frame
inline constexpr std::size_t kSettingsSizeLimit = std::size_t{1} << 20;     // a settings file
inline constexpr std::size_t kPreferencesSizeLimit = std::size_t{16} << 20; // a defaults domain
inline constexpr std::size_t kToolSizeLimit = std::size_t{256} << 20;       // kbeplist's default

// "property list of 2000000 bytes is larger than the limit of 1048576 bytes", or without
// the size where it is not known ("property list is larger than ...").
std::string sizeLimitError(std::size_t limit, std::optional<std::size_t> size = std::nullopt);

// "not enough memory to read a property list of 2000000 bytes": what the readers report
// instead of letting an allocation failure escape.
std::string outOfMemoryError(std::size_t size);

} // namespace plist

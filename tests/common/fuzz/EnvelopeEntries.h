#pragma once

// Entry function of the envelope fuzz target, shared by the libFuzzer program (clang) and the
// replay of the committed corpus in the normal test run.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace messagerfuzz {

// Reads the input as a stream of frames (keeping the frame reader's own invariants), then
// decodes each frame as a reply the way the messager's client does. A reply's error that
// reads must archive and read back identical; a reply's payload that reads must encode and
// read back identical; a reply that does not read must give the messager's own error.
// Returns the first broken invariant, or nullopt.
std::optional<std::string> envelopeInput(const std::uint8_t* data, std::size_t size);

} // namespace messagerfuzz

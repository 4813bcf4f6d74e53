#pragma once

// Entry function of the frame fuzz target, shared by the libFuzzer program (clang) and the
// replay of the committed corpus in the normal test run.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace sockets::fuzz {

// Reads the input as a stream of frames, once whole and once in pieces whose sizes come
// from the input itself; both readings must give the same frames and the same end, every
// frame must encode again and read back identical, and the reader must never ask for or
// hold more than a frame. Returns the first broken invariant, or nullopt.
std::optional<std::string> frameInput(const std::uint8_t* data, std::size_t size);

} // namespace sockets::fuzz

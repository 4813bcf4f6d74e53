#pragma once

// The package fuzz targets' checks, shared with the corpus replay of the normal test run.
// Each returns a problem found, or none: a refusal is not a problem, a crash or an archive
// that opens but cannot give what it promised is.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace package::fuzz {

std::optional<std::string> archiveInput(const std::uint8_t* data, std::size_t size);
std::optional<std::string> tocInput(const std::uint8_t* data, std::size_t size);

} // namespace package::fuzz

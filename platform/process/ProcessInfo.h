#pragma once

#include <string>

namespace process {

// The file name of the running executable.
const std::string& processName();

} // namespace process

#pragma once

#include <chrono>

namespace testsupport {

// How long a test waits for another thread or process before it fails: generous for a
// loaded machine running a sanitized build, well inside the tests' CTest time limits.
inline constexpr std::chrono::seconds kWaitLimit{20};
// The same in milliseconds, for poll() and Qt's waits.
inline constexpr int kWaitLimitMilliseconds = int(std::chrono::milliseconds(kWaitLimit).count());

} // namespace testsupport

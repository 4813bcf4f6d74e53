#pragma once

// Logging's own failures go to the system's default log as errors (never to a log file).

#include "common/VRNFormat.h"

#include <string_view>

void VRNLogFailureText(std::string_view text);

template <class... Args>
void VRNLogFailure(VRNFormatFor<Args...> format, const Args&... args) {
    if (auto text = VRNFormat<Args...>(format, args...)) {
        VRNLogFailureText(*text);
    }
}

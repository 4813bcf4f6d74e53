#include "common/VRNProcessInfo.h"

#include "platform/process/ProcessInfo.h"

#include <vector>

namespace VRNProcessInfo {

namespace {

std::vector<std::string> components(const std::string& name) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t dot = name.find('.', start);
        parts.push_back(name.substr(start, dot - start));
        if (dot == std::string::npos) {
            return parts;
        }
        start = dot + 1;
    }
}

} // namespace

std::string productName(const std::string& processName) {
    auto parts = components(processName);
    return parts.size() >= 3 ? parts[2] : processName;
}

std::string productIdentifier(const std::string& processName) {
    auto parts = components(processName);
    return parts.size() > 3 ? parts[0] + "." + parts[1] + "." + parts[2] : processName;
}

std::string productName() {
    return productName(process::processName());
}

std::string productIdentifier() {
    return productIdentifier(process::processName());
}

} // namespace VRNProcessInfo

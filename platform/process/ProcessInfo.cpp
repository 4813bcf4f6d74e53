#include "platform/process/ProcessInfo.h"

#include <cerrno>
#include <climits>
#include <unistd.h>

namespace process {

const std::string& processName() {
    static const std::string* const name = [] {
        char path[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
        std::string full = n > 0 ? std::string(path, static_cast<size_t>(n))
                                 : std::string(program_invocation_name);
        auto slash = full.rfind('/');
        return new std::string(slash == std::string::npos ? full : full.substr(slash + 1));
    }();
    return *name;
}

} // namespace process

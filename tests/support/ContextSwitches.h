#pragma once

#include <dirent.h>
#include <fstream>
#include <string>
#include <sys/types.h>

namespace testsupport {

// The thread sanitizer's runtime keeps a background thread of its own that wakes several
// times a second, so a sanitized process is never idle in this sense.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kRuntimeAddsWakeUps = true;
#else
inline constexpr bool kRuntimeAddsWakeUps = false;
#endif

struct ContextSwitches {
    long voluntary = -1; // summed over every thread; -1 when the process is gone
    int threads = 0;
};

// Voluntary context switches of every thread of `pid`, from /proc/<pid>/task/*/status: an
// idle process whose threads all sleep for good adds none.
inline ContextSwitches voluntaryContextSwitches(pid_t pid) {
    const std::string folder = "/proc/" + std::to_string(pid) + "/task";
    ContextSwitches result;
    DIR* tasks = opendir(folder.c_str());
    if (tasks == nullptr) {
        return result;
    }
    result.voluntary = 0;
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::ifstream status(folder + "/" + entry->d_name + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
                result.voluntary += std::stol(line.substr(line.find(':') + 1));
                ++result.threads;
            }
        }
    }
    closedir(tasks);
    return result;
}

} // namespace testsupport

#include "engine/log/Programs.h"

#include "platform/paths/Paths.h"

#include <array>

namespace logtool {

namespace {

constexpr std::array<Program, 5> kPrograms{{
    {"scheduler", "com.vornhal.keelbrook", "/Library/Keelbrook/com.vornhal.keelbrook.scheduler"},
    {"application", "com.vornhal.keelbrook", "/Applications/Keelbrook.app"},
    {"ctl", "com.vornhal.keelbrook", "/Library/Keelbrook/kbectl"},
    {"post_update", "com.vornhal.keelbrook",
     "/Library/Keelbrook/com.vornhal.keelbrook.post-update"},
    // The backup engine's worker.
    {"backupd", "com.apple.TimeMachine", "/usr/libexec/keelbrook/backupd"},
}};

} // namespace

std::string_view fileNameOf(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

const Program* programForCategory(std::string_view category) {
    for (const Program& program : kPrograms) {
        if (program.category == category) {
            return &program;
        }
    }
    return nullptr;
}

const Program* programNamed(std::string_view name) {
    for (const Program& program : kPrograms) {
        if (fileNameOf(paths::linuxLocation(program.productPath)) == name) {
            return &program;
        }
    }
    return nullptr;
}

std::span<const Program> allPrograms() {
    return kPrograms;
}

std::string executablePath(const Program& program) {
    return paths::path(program.productPath);
}

} // namespace logtool

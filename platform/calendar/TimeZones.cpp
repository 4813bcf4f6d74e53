#include "platform/calendar/TimeZones.h"

#include "platform/files/Files.h"
#include "platform/paths/Paths.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <unicode/timezone.h>
#include <unicode/unistr.h>
#include <vector>

namespace cal {

namespace {

namespace fs = std::filesystem;

constexpr const char* kFallbackZone = "UTC";

std::string zoneIdFromLinkTarget(const std::string& target) {
    static constexpr std::string_view kMarker = "zoneinfo/";
    const auto at = target.rfind(kMarker);
    if (at == std::string::npos) {
        return {};
    }
    std::string id = target.substr(at + kMarker.size());
    for (std::string_view prefix : {"posix/", "right/"}) {
        if (id.starts_with(prefix)) {
            id.erase(0, prefix.size());
        }
    }
    return isKnownTimeZone(id) ? id : std::string();
}

// Zone files are a few kilobytes; anything far larger is no zone.
constexpr std::size_t kMaxZoneFileSize = 1024 * 1024;

std::optional<std::vector<std::uint8_t>> readZoneFile(const fs::path& path) {
    return files::readFile(path, kMaxZoneFileSize);
}

// A copied zone file carries no name: find the zoneinfo file with the same bytes. The
// candidates are sorted so that the answer does not depend on directory order.
std::string zoneIdOfCopy(const fs::path& file, const std::string& zoneinfoFolder) {
    std::error_code error;
    const auto size = fs::file_size(file, error);
    if (error) {
        return {};
    }
    const auto content = readZoneFile(file);
    if (!content) {
        return {};
    }
    std::vector<fs::path> candidates;
    fs::recursive_directory_iterator it(zoneinfoFolder, error), end;
    for (; !error && it != end; it.increment(error)) {
        const auto name = it->path().filename().string();
        if (it->is_directory(error)) {
            if (name == "posix" || name == "right") {
                it.disable_recursion_pending();
            }
            continue;
        }
        if (it->is_regular_file(error) && it->file_size(error) == size) {
            candidates.push_back(it->path());
        }
    }
    std::sort(candidates.begin(), candidates.end());
    for (const auto& candidate : candidates) {
        const auto id = candidate.lexically_relative(zoneinfoFolder).string();
        if (isKnownTimeZone(id) && readZoneFile(candidate) == content) {
            return id;
        }
    }
    return {};
}

struct SystemZoneState {
    std::mutex lock;
    std::string id;
    bool resolved = false;
    std::atomic<std::uint64_t> generation{0};
};

SystemZoneState& systemZoneState() {
    static auto* const state = new SystemZoneState; // never destroyed: used by late log lines
    return *state;
}

} // namespace

bool isKnownTimeZone(const std::string& zoneId) {
    if (zoneId.empty()) {
        return false;
    }
    std::unique_ptr<icu::TimeZone> zone(
        icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(zoneId)));
    return zone && *zone != icu::TimeZone::getUnknown();
}

std::string zoneIdOfFile(const std::string& path, const std::string& zoneinfoFolder) {
    std::error_code error;
    if (fs::is_symlink(path, error)) {
        const auto target = fs::read_symlink(path, error).string();
        if (auto id = zoneIdFromLinkTarget(target); !id.empty()) {
            return id;
        }
        // A relative or chained link: try where it finally leads.
        const auto resolved = fs::canonical(path, error);
        if (!error) {
            if (auto id = zoneIdFromLinkTarget(resolved.string()); !id.empty()) {
                return id;
            }
        }
    }
    if (!fs::exists(path, error)) {
        return {};
    }
    return zoneIdOfCopy(path, zoneinfoFolder);
}

std::string resolveTimeZoneId(const char* tzVariable, const std::string& localtimePath,
                              const std::string& zoneinfoFolder) {
    if (tzVariable != nullptr && *tzVariable != '\0') {
        std::string value(tzVariable[0] == ':' ? tzVariable + 1 : tzVariable);
        if (value.starts_with("/")) {
            auto id = zoneIdOfFile(value, zoneinfoFolder);
            return id.empty() ? kFallbackZone : id;
        }
        return isKnownTimeZone(value) ? value : kFallbackZone;
    }
    auto id = zoneIdOfFile(localtimePath, zoneinfoFolder);
    return id.empty() ? kFallbackZone : id;
}

std::string SystemTimeZone::id() {
    auto& state = systemZoneState();
    std::lock_guard guard(state.lock);
    if (!state.resolved) {
        state.id = resolveTimeZoneId(std::getenv("TZ"), paths::path("/etc/localtime"));
        state.resolved = true;
    }
    return state.id;
}

bool SystemTimeZone::set(const std::string& zoneId) {
    auto& state = systemZoneState();
    std::lock_guard guard(state.lock);
    if (state.resolved && state.id == zoneId) {
        return false;
    }
    state.id = zoneId;
    state.resolved = true;
    state.generation.fetch_add(1, std::memory_order_release);
    return true;
}

std::uint64_t SystemTimeZone::generation() {
    return systemZoneState().generation.load(std::memory_order_acquire);
}

} // namespace cal

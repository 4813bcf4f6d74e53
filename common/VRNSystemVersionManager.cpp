#include "common/VRNSystemVersionManager.h"

#include "common/VRNEnvironment.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr VRNOperatingSystemVersion kFeatureLevel{15, 0, 0};
constexpr VRNOperatingSystemVersion kFirstReportingVersion{10, 10, 0};

VRNOperatingSystemVersion overriddenVersion() {
    const char* text = std::getenv("KEELBROOK_SYSTEM_VERSION");
    if (text == nullptr) {
        return kFeatureLevel;
    }
    if (auto version = VRNOperatingSystemVersion::parse(text)) {
        return *version;
    }
    std::fprintf(stderr,
                 "keelbrook: ignoring KEELBROOK_SYSTEM_VERSION \"%s\": expected "
                 "MAJOR.MINOR[.PATCH]\n",
                 text);
    return kFeatureLevel;
}

} // namespace

std::optional<VRNOperatingSystemVersion> VRNOperatingSystemVersion::parse(std::string_view text) {
    long parts[3] = {0, 0, 0};
    size_t count = 0;
    const char* p = text.data();
    const char* end = text.data() + text.size();
    while (count < 3) {
        auto [next, ec] = std::from_chars(p, end, parts[count]);
        if (ec != std::errc() || next == p || parts[count] < 0) {
            return std::nullopt;
        }
        ++count;
        p = next;
        if (p == end) {
            return VRNOperatingSystemVersion{parts[0], parts[1], parts[2]};
        }
        if (*p != '.') {
            return std::nullopt;
        }
        ++p;
    }
    return std::nullopt;
}

VRNSystemVersionManager VRNSystemVersionManager::fromProcess() {
    return VRNSystemVersionManager(overriddenVersion());
}

const VRNSystemVersionManager& VRNSystemVersionManager::sharedManager() {
    return *VRNEnvironment::shared().versions;
}

bool VRNSystemVersionManager::canReportVersion() const {
    return version_ >= kFirstReportingVersion;
}

bool VRNSystemVersionManager::runningAtLeast(unsigned value) const {
    if (!canReportVersion()) {
        return false;
    }
    return version_ >= VRNOperatingSystemVersion{10, static_cast<long>(value) + 10, 0};
}

bool VRNSystemVersionManager::runningAtLeastVersion(long majorVersion, long minorVersion,
                                                    long patchVersion) const {
    if (!canReportVersion()) {
        return majorVersion == 10 && minorVersion == 9;
    }
    return version_ >= VRNOperatingSystemVersion{majorVersion, minorVersion, patchVersion};
}

#pragma once

#include <optional>
#include <string_view>

// Versions testable with runningAtLeast: value n stands for 10.(n + 10).0.
enum VRNSystemVersion : unsigned {
    VRNSystemVersion10_10 = 0,
    VRNSystemVersion10_11 = 1,
    VRNSystemVersion10_12 = 2,
    VRNSystemVersion10_13 = 3,
    VRNSystemVersion10_14 = 4,
    VRNSystemVersion10_15 = 5,
};

struct VRNOperatingSystemVersion {
    long majorVersion = 0;
    long minorVersion = 0;
    long patchVersion = 0;

    auto operator<=>(const VRNOperatingSystemVersion&) const = default;

    // "MAJOR[.MINOR[.PATCH]]" with decimal numbers; nullopt for anything else.
    static std::optional<VRNOperatingSystemVersion> parse(std::string_view text);
};

// Answers which operating-system features are available: the feature level the build
// provides (15.0.0), or another one a test or a program's environment chose.
class VRNSystemVersionManager {
public:
    // The one of the process's environment.
    static const VRNSystemVersionManager& sharedManager();
    // The feature level, or KEELBROOK_SYSTEM_VERSION when it is set and well formed (a
    // malformed value is reported on standard error and ignored).
    static VRNSystemVersionManager fromProcess();

    explicit VRNSystemVersionManager(VRNOperatingSystemVersion version) : version_(version) {}

    // True when the system is at least the version `value` stands for. A system before
    // 10.10 cannot report its version this way: false.
    bool runningAtLeast(unsigned value) const;
    // True when the system is at least major.minor.patch. Before 10.10 the system cannot
    // report it: true only for a request of 10.9 (any patch).
    bool runningAtLeastVersion(long majorVersion, long minorVersion, long patchVersion) const;

    const VRNOperatingSystemVersion& version() const { return version_; }

private:
    bool canReportVersion() const;

    VRNOperatingSystemVersion version_;
};

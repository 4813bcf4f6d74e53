#pragma once

#include <cstdint>
#include <string>

namespace cal {

// True when `zoneId` names a time zone the calendar knows ("Europe/Berlin", "UTC").
bool isKnownTimeZone(const std::string& zoneId);

// The zone a process with the environment value `tzVariable` (null when TZ is unset) and
// the zone file `localtimePath` is in, as the C library would pick it:
// - TZ set and not empty: the zone it names (a leading ':' is dropped; an absolute path is
//   read like the zone file); an unknown name gives "UTC".
// - otherwise the zone file: a link into a zoneinfo folder gives the zone by its name; a
//   copy is identified by comparing it with the files of `zoneinfoFolder`.
// - no zone file, or one that cannot be identified: "UTC".
std::string resolveTimeZoneId(const char* tzVariable, const std::string& localtimePath,
                              const std::string& zoneinfoFolder = "/usr/share/zoneinfo");

// The zone a zone file stands for: by its name when it links into a zoneinfo folder, by
// its content (compared with the files of `zoneinfoFolder`) when it is a copy. Empty when
// the file is missing or not recognised (for example while it is being written).
std::string zoneIdOfFile(const std::string& path,
                         const std::string& zoneinfoFolder = "/usr/share/zoneinfo");

// The process's system time zone: resolved on first use from TZ and the installation's
// /etc/localtime, replaced by the time-zone watcher when the system changes its zone.
// Safe to use from any thread.
class SystemTimeZone {
public:
    static std::string id();
    // Makes `zoneId` the system zone; returns false when it already was.
    static bool set(const std::string& zoneId);
    // Changes with every `set` that changed the zone: formatters that follow the system
    // zone compare it to notice a change cheaply.
    static std::uint64_t generation();
};

} // namespace cal

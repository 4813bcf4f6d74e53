#pragma once

// The engine's preferences: the domain "com.apple.TimeMachine", read by the daemon and the
// application, written by tmutil and the backup worker. Secrets never go here.

#include "platform/preferences/Domain.h"

#include <optional>
#include <string>
#include <vector>

namespace engine {

inline constexpr const char* kDomainName = "com.apple.TimeMachine";

// Keys the daemon and the application read.
inline constexpr const char* kAutoBackupKey = "AutoBackup";
inline constexpr const char* kMobileBackupsKey = "MobileBackups";
inline constexpr const char* kRequiresACPowerKey = "RequiresACPower";
inline constexpr const char* kLastDestinationIDKey = "LastDestinationID";
inline constexpr const char* kDestinationsKey = "Destinations";
// Keys of one entry of "Destinations".
inline constexpr const char* kDestinationIDKey = "DestinationID";
inline constexpr const char* kResultKey = "RESULT";
inline constexpr const char* kLastAttemptDateKey = "LastAttemptDate";
inline constexpr const char* kLastSuccessDateKey = "LastSuccessDate";
// The engine's own keys.
inline constexpr const char* kRepositoryKey = "RepositoryURL";
inline constexpr const char* kIncludedFoldersKey = "IncludedFolders";
inline constexpr const char* kExclusionsKey = "ExcludedPaths";

// Included folders and exclusions when none were chosen. Exclusion patterns follow
// restic's --exclude: a pattern starting with "/" matches from the root, any other matches
// a name anywhere.
std::vector<std::string> defaultIncludedFolders();
std::vector<std::string> defaultExclusions();

class Preferences {
public:
    Preferences();
    explicit Preferences(std::string file);

    // A missing or non-boolean key reads as `fallback`.
    bool boolean(const char* key, bool fallback);
    bool setBoolean(const char* key, bool value, std::string* error);

    std::optional<std::string> repository();
    std::optional<std::string> lastDestinationID();
    std::vector<std::string> includedFolders();
    std::vector<std::string> exclusions();
    bool setIncludedFolders(const std::vector<std::string>& folders, std::string* error);
    bool setExclusions(const std::vector<std::string>& patterns, std::string* error);

    // Makes `repository` the destination: a new entry in "Destinations" with `id` and no
    // result yet, and "LastDestinationID" naming it.
    bool setDestination(const std::string& repository, const std::string& id, std::string* error);

    // Records a run's outcome in the destination's entry: "RESULT" (0 on success), the
    // attempt's date and, on success, the success's date.
    bool recordResult(const std::string& id, long result, double date, std::string* error);

    // The destination's entry, when there is one.
    std::optional<plist::Dictionary> destination(const std::string& id);

    prefs::Domain& domain() { return domain_; }

private:
    std::optional<std::vector<std::string>> strings(const char* key);
    bool setStrings(const char* key, const std::vector<std::string>& values, std::string* error);

    prefs::Domain domain_;
};

} // namespace engine

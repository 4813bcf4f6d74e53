#pragma once

// The rights database: one property-list file mapping each right's name to its definition
// ("class", "rule", "k-of-n", "group", "timeout", "shared", "comment"). Only root writes it,
// always by atomic replacement; everyone may read it. The authority reads it afresh for
// every evaluation, so a changed definition takes effect at once.

#include "platform/plist/Value.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

class VRNAuthorizationDatabase {
public:
    // The product path of the database file.
    static constexpr const char* kProductPath = "/var/db/com.vornhal.authorization.plist";
    // Larger files are not read.
    static constexpr std::size_t kSizeLimit = std::size_t{1} << 20;

    explicit VRNAuthorizationDatabase(std::string path) : _path(std::move(path)) {}
    // The database of the installation at `installationRoot`.
    static VRNAuthorizationDatabase inInstallation(const std::string& installationRoot);

    const std::string& path() const { return _path; }

    // Every definition; empty when there is no file. Nullopt with `why` when the file cannot
    // be read, does not parse into a dictionary, or is not root's alone (owned by another
    // user, writable by group or others): such a file defines nothing.
    std::optional<plist::Dictionary> rights(std::string* why) const;
    // One right's definition; none when it is not defined or the database is unusable.
    std::optional<plist::Dictionary> right(const std::string& name) const;

    // What setRights reports per right that could not be written: its name and status.
    using Failures = std::vector<std::pair<std::string, int>>;

    // Defines or replaces each right of `definitions`, keeping the others. A definition must
    // be a dictionary whose "class" is "rule", "user", "allow" or "deny"; others fail with
    // the invalid-set status while the rest are written. A database that cannot be read
    // (other than missing) fails everything with `status` set and nothing written; one that
    // is unusable otherwise is replaced. A failed write fails every right it carried.
    bool setRights(const plist::Dictionary& definitions, Failures* failures,
                   std::optional<int>* status) const;

private:
    std::string _path;
};

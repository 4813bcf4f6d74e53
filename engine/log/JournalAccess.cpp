#include "engine/log/JournalAccess.h"

#include "platform/paths/Paths.h"

#include <algorithm>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace logtool {

namespace {

std::optional<gid_t> groupNamed(const char* name) {
    group entry{};
    group* found = nullptr;
    std::vector<char> buffer(16 * 1024);
    if (getgrnam_r(name, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    return found->gr_gid;
}

} // namespace

bool journalRunning() {
    struct stat status {};
    return stat(paths::path("/run/systemd/journal/socket").c_str(), &status) == 0;
}

bool mayReadSystemJournal(uid_t effectiveUser, gid_t effectiveGroup,
                          const std::vector<gid_t>& groups) {
    if (effectiveUser == 0) {
        return true;
    }
    for (const char* name : {"adm", "systemd-journal"}) {
        const std::optional<gid_t> gid = groupNamed(name);
        if (gid && (*gid == effectiveGroup ||
                    std::find(groups.begin(), groups.end(), *gid) != groups.end())) {
            return true;
        }
    }
    return false;
}

bool mayReadSystemJournal() {
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(getgroups(0, nullptr), 0)));
    const int count = getgroups(static_cast<int>(groups.size()), groups.data());
    groups.resize(static_cast<std::size_t>(std::max(count, 0)));
    return mayReadSystemJournal(geteuid(), getegid(), groups);
}

JournalLocation journalLocation() {
    const std::optional<std::string> root = paths::rootFromEnvironment(nullptr);
    if (root && !root->empty()) {
        return {paths::path("/var/log/journal")};
    }
    return {};
}

} // namespace logtool

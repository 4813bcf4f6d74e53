#include "common/KBEHelperMessages.h"

namespace {

const std::vector<std::string> kNoRights;
// Root or an administrator (root alone once administrator changes are disallowed), then
// any member of the "admin" group who authenticates.
const std::vector<std::string> kModifyRights{"com.vornhal.keelbrook.settings.modify-1",
                                             "com.vornhal.keelbrook.settings.modify-2"};
const std::vector<std::string> kUninstallRights{"com.vornhal.keelbrook.uninstall"};

} // namespace

const std::vector<std::string>& KBEHelperAuthorizationRightsForMessage(long message) {
    switch (message) {
    case KBEHelperMessageInstallSettings:
    case KBEHelperMessageEnableScheduler:
    case KBEHelperMessageDisableScheduler:
    case KBEHelperMessageAllowAdminChanges:
    case KBEHelperMessageSetBackupsEnabled:
    case KBEHelperMessageSetBackupsMode:
    case KBEHelperMessageSetBackupsInterval:
    case KBEHelperMessageSetBackupsWhenInactive:
    case KBEHelperMessageSetSnapshotsEnabled:
    case KBEHelperMessageSetUpdatesEnabled:
    case KBEHelperMessageSetUpdatesMode:
    case KBEHelperMessageSetUpdatesFeed:
    case KBEHelperMessageSetDryRun:
    case KBEHelperMessageInstallUpdate:
        return kModifyRights;
    case KBEHelperMessageUninstall:
        return kUninstallRights;
    default:
        return kNoRights;
    }
}

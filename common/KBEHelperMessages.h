#pragma once

// The daemon's numbered messages and the authorization rights each needs. Both sides use
// this one table: the daemon's message server checks a client's authorization against it
// before a handler runs, and clients decide from it whether to obtain authorization first.

#include <string>
#include <vector>

enum KBEHelperMessage : long {
    KBEHelperMessageGetVersion = 0,
    KBEHelperMessageGetSettings = 1,
    KBEHelperMessageInstallSettings = 2,
    KBEHelperMessageEnableScheduler = 3,
    KBEHelperMessageDisableScheduler = 4,
    KBEHelperMessageGetActivityInformation = 5,
    KBEHelperMessageAllowAdminChanges = 6,
    KBEHelperMessageGetBackupsEnabled = 7,
    KBEHelperMessageGetBackupsMode = 8,
    KBEHelperMessageGetBackupsInterval = 9,
    KBEHelperMessageGetBackupsWhenInactive = 10,
    KBEHelperMessageSetBackupsEnabled = 11,
    KBEHelperMessageSetBackupsMode = 12,
    KBEHelperMessageSetBackupsInterval = 13,
    KBEHelperMessageSetBackupsWhenInactive = 14,
    KBEHelperMessageBackUpNow = 15,
    KBEHelperMessageGetSnapshotsEnabled = 16,
    KBEHelperMessageSetSnapshotsEnabled = 17,
    KBEHelperMessageGetUpdatesEnabled = 18,
    KBEHelperMessageGetUpdatesMode = 19,
    KBEHelperMessageGetUpdatesFeed = 20,
    KBEHelperMessageSetUpdatesEnabled = 21,
    KBEHelperMessageSetUpdatesMode = 22,
    KBEHelperMessageSetUpdatesFeed = 23,
    KBEHelperMessageGetDryRun = 24,
    KBEHelperMessageSetDryRun = 25,
    KBEHelperMessageCheckForUpdate = 26,
    KBEHelperMessageInstallUpdate = 27,
    KBEHelperMessageUninstall = 28,
};

inline constexpr long KBEHelperMessageCount = 29;

// The rights of `message`, in the order they are tried; empty for messages that need none
// and for numbers outside the catalogue.
const std::vector<std::string>& KBEHelperAuthorizationRightsForMessage(long message);

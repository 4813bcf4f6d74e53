#pragma once

// The product's authorization rights and their definitions in the rights database.

#include "platform/plist/Value.h"

inline constexpr const char* KBEHelperRightModify1 = "com.vornhal.keelbrook.settings.modify-1";
inline constexpr const char* KBEHelperRightModify2 = "com.vornhal.keelbrook.settings.modify-2";
inline constexpr const char* KBEHelperRightUninstall = "com.vornhal.keelbrook.uninstall";

// "modify-1": root, or an administrator too while `allowAdminChanges`.
plist::Dictionary KBEHelperModify1Definition(bool allowAdminChanges);
// All three rights by name, "modify-1" allowing administrators.
plist::Dictionary KBEHelperRightDefinitions();

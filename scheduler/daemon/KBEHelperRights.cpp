#include "scheduler/daemon/KBEHelperRights.h"

namespace {

plist::Dictionary userRight(const char* comment) {
    return {{"class", plist::Value("user")},
            {"comment", plist::Value(comment)},
            {"group", plist::Value("admin")},
            {"timeout", plist::Value(15)},
            {"shared", plist::Value(false)}};
}

} // namespace

plist::Dictionary KBEHelperModify1Definition(bool allowAdminChanges) {
    plist::Array rule{plist::Value("is-root")};
    if (allowAdminChanges) {
        rule.push_back(plist::Value("is-admin"));
    }
    return {{"class", plist::Value("rule")},
            {"comment", plist::Value("Used by Keelbrook to change settings.")},
            {"k-of-n", plist::Value(1)},
            {"rule", plist::Value(std::move(rule))},
            {"shared", plist::Value(false)}};
}

plist::Dictionary KBEHelperRightDefinitions() {
    return {
        {KBEHelperRightModify1, plist::Value(KBEHelperModify1Definition(true))},
        {KBEHelperRightModify2,
         plist::Value(userRight(
             "Used by Keelbrook to change settings (when the 'modify-1' right is not granted)."))},
        {KBEHelperRightUninstall,
         plist::Value(userRight("Used by Keelbrook to allow uninstalling."))},
    };
}

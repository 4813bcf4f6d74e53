#pragma once

#include "application/editor/KBEAlert.h"
#include "application/editor/KBEDesktop.h"
#include "application/editor/KBEPostUpdateAgent.h"
#include "common/KBEHelperMessager.h"
#include "common/VRNNotificationCenter.h"

#include <functional>

class QWidget;

// Posted in the process when the user switched automatic updates on from an alert, so that
// the preferences window follows.
inline constexpr const char* kKBEDidEnableAutoUpdatesNotification = "KBEDidEnableAutoUpdates";

// A user-requested update check: asks the daemon's updater for a newer version, offers it,
// and has the daemon install it with the post-update agent waiting to reopen the
// application afterwards. Runs on the user-interface thread.
class KBUpdateController {
public:
    using CompletionHandler = std::function<void()>;

    struct Collaborators {
        KBEHelperMessager& messager;
        KBEAlertPresenter& alerts;
        KBEDesktop& desktop;
        KBEPostUpdateAgent& agent;
        VRNNotificationCenter& notifications;
        // The user-interface thread's queue, where replies arrive.
        dispatch::QueuePtr mainQueue;
    };

    explicit KBUpdateController(Collaborators collaborators);

    // Calls `completionHandler` once the check has ended without an installation under way.
    void checkUpdatesWithCompletionHandler(CompletionHandler completionHandler);
    void displayUpdateAlertWithInfo(const plist::Value& info, CompletionHandler completionHandler);
    void updateWithCompletionHandler(CompletionHandler completionHandler);
    void displayUpToDateAlert();
    void displayFetchInfoAlertWithError(const VRNError& error);
    void displayUpdateAlertWithError(const VRNError& error);

private:
    bool automaticUpdatesEnabled();

    Collaborators _c;
};

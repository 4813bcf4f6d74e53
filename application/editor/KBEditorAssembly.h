#pragma once

#include "application/editor/KBEPostUpdateAgent.h"
#include "application/editor/KBEditorController.h"
#include "application/editor/KBUpdateController.h"
#include "common/VRNEnvironment.h"
#include "platform/preferences/Domain.h"

// The schedule editors the program shows under the mode pop-up: when inactive, interval,
// calendar intervals.
KBEScheduleEditorFactory KBEProgramScheduleEditors(const VRNSystemVersionManager& versions);

// The editor window with the collaborators it alone uses (the update checks and the
// application's defaults), wired from what the program's composition root built.
class KBEditorAssembly {
public:
    struct Parts {
        KBEHelperMessager& messager;
        KBEAlertPresenter& alerts;
        KBEDesktop& desktop;
        KBEPostUpdateAgent& agent;
        // The installation root, the system version and the notification center.
        const VRNEnvironment& environment;
        dispatch::QueuePtr mainQueue;
        bool supportsBattery = false;
        std::function<bool()> schedulerSocketDisabled;
        KBEScheduleEditorFactory editors;
        KBEditorWindows windows;
        // The user's log folder, removed on uninstall.
        std::string userLogFolder;
    };

    explicit KBEditorAssembly(Parts parts);

    KBEditorController& editor() { return _editor; }

private:
    KBUpdateController _updates;
    prefs::Domain _defaults;
    KBEditorController _editor;
};

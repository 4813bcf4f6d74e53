// The editor window against the daemon of the installation it runs in, driven like a person
// would: backups on, every 3 days, Apply, then Apply again unchanged. Prints each alert's
// title and text on a line of its own; exits 0 when the window could be shown.

#include "application/editor/KBEditorAssembly.h"
#include "application/editor/KBEditorController.h"
#include "application/editors/KBEIntervalViewController.h"
#include "application/ui/KBEMainThreadQueue.h"
#include "common/VRNEnvironment.h"
#include "common/VRNLog.h"
#include "platform/paths/Paths.h"
#include "tests/application/EditorTestSupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <cstdio>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    VRNEnvironment::install(VRNEnvironment::fromProcess(nullptr));
    VRNLogInit("com.vornhal.keelbrook", "application");
    const VRNEnvironment& environment = VRNEnvironment::shared();
    const auto queue = KBEMainThreadQueue::create(&application);
    apptest::ScriptedAlerts alerts;
    alerts.onShow = [](const KBEAlert& alert) {
        std::printf("%s|%s\n", alert.title.c_str(), alert.text.c_str());
        std::fflush(stdout);
    };
    apptest::RecordingDesktop desktop;
    KBEPostUpdateAgent agent("/nonexistent/agent");
    KBEIntervalViewController* interval = nullptr;
    KBEditorAssembly assembly({
        .messager = KBEHelperMessager::sharedMessager(),
        .alerts = alerts,
        .desktop = desktop,
        .agent = agent,
        .environment = environment,
        .mainQueue = queue,
        .supportsBattery = false,
        .schedulerSocketDisabled = [] { return false; },
        .editors =
            [&, program = KBEProgramScheduleEditors(*environment.versions)](int index) {
                auto made = program(index);
                if (index == 1) {
                    interval = dynamic_cast<KBEIntervalViewController*>(made.get());
                }
                return made;
            },
        .windows = {},
        .userLogFolder = paths::homePath("Library/Logs/Keelbrook"),
    });
    KBEditorController& editor = assembly.editor();
    if (!editor.applicationDidFinishLaunching()) {
        return 2;
    }
    const auto& c = editor.controls();
    c.backupCheckbox->setChecked(true);
    editor.changeBackUpCheckbox();
    c.operationModePopup->setCurrentIndex(1);
    editor.changeOperationMode();
    if (!interval) {
        return 3;
    }
    interval->setIntervalMode(KBEIntervalViewController::kDays);
    interval->setIntervalValue(3);
    editor.apply();
    editor.apply();
    return 0;
}

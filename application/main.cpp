// keelbrook: the settings editor of the scheduler daemon, the program behind the desktop
// entry.

#include "application/backup-engine/KBEBackupEngineController.h"
#include "application/console/KBEConsoleController.h"
#include "application/editor/KBEAlert.h"
#include "application/editor/KBEDesktop.h"
#include "application/editor/KBESchedulerUnit.h"
#include "application/editor/KBEditorAssembly.h"
#include "application/editor/KBEditorController.h"
#include "application/preferences/KBEAuthenticationDialog.h"
#include "application/preferences/KBEPreferencesController.h"
#include "application/snapshots/KBELocalSnapshotsController.h"
#include "application/ui/KBEMainThreadQueue.h"
#include "common/KBEHelperMessager.h"
#include "common/VRNAuthorizationManager.h"
#include "common/VRNEnvironment.h"
#include "common/VRNLog.h"
#include "platform/machine-linux/LinuxReadings.h"
#include "platform/notify/Notify.h"
#include "platform/paths/Paths.h"
#include "post-update/KBEPostUpdateManager.h"

#include <QApplication>
#include <QIcon>
#include <QMainWindow>
#include <QWidget>

namespace {

// An auxiliary window: made on first request, kept for the rest of the process, brought to
// the front on every request.
std::function<void()> windowMadeOnce(std::function<QWidget*()> make) {
    auto window = std::make_shared<QWidget*>(nullptr);
    return [make = std::move(make), window] {
        if (!*window) {
            *window = make();
            (*window)->setWindowFlag(Qt::Window);
        }
        (*window)->show();
        (*window)->raise();
        (*window)->activateWindow();
    };
}

} // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Keelbrook"));
    QApplication::setDesktopFileName(QStringLiteral("com.vornhal.keelbrook"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("com.vornhal.keelbrook")));
    // The application reads no machine-state sources; the battery question is answered once.
    VRNEnvironment::install(VRNEnvironment::fromProcess(nullptr));
    VRNLogInit("com.vornhal.keelbrook", "application");
    const VRNEnvironment& environment = VRNEnvironment::shared();
    const std::string& root = environment.installationRoot;
    const auto mainQueue = KBEMainThreadQueue::create(&application);

    KBEHelperMessager& messager = KBEHelperMessager::sharedMessager();
    KBEMessageBoxPresenter alerts;
    KBEQtDesktop desktop;
    KBEPostUpdateAgent agent(
        paths::locate("/Library/Keelbrook/com.vornhal.keelbrook.post-update", root));

    const KBEditorWindows windows{
        .showPreferences = windowMadeOnce([&] {
            return new KBEPreferencesController({messager, VRNAuthorizationManager::sharedManager(),
                                                 VRNAuthorizationDatabase(paths::locate(
                                                     VRNAuthorizationDatabase::kProductPath, root)),
                                                 *environment.notifications});
        }),
        .showConsole = windowMadeOnce([&] {
            auto* console =
                new KBEConsoleController(environment.versions, mainQueue, dispatch::globalQueue());
            console->windowDidLoad();
            return console;
        }),
        .showLocalSnapshots = windowMadeOnce([] {
            return new KBELocalSnapshotsController(
                {KBESnapshotsAtPath, notify::systemBusAddress()});
        }),
        .showBackupEngine = windowMadeOnce([&] {
            return new KBEBackupEngineController({std::make_shared<prefs::Domain>(
                "com.apple.TimeMachine",
                paths::locate("/Library/Preferences/com.apple.TimeMachine.plist", root))});
        }),
    };

    KBEditorAssembly assembly({
        .messager = messager,
        .alerts = alerts,
        .desktop = desktop,
        .agent = agent,
        .environment = environment,
        .mainQueue = mainQueue,
        .supportsBattery =
            machine::linuxfs::hasSystemBattery(paths::locate("/sys/class/power_supply", root)),
        .schedulerSocketDisabled = [] { return KBESchedulerSocketDisabled(); },
        .editors = KBEProgramScheduleEditors(*environment.versions),
        .windows = windows,
        .userLogFolder = paths::homePath("Library/Logs/Keelbrook"),
    });
    KBEditorController& editor = assembly.editor();

    // Guarded messages ask for an administrator's password over the main window.
    VRNAuthorizationManager::sharedManager().setPromptHandler(
        KBEAuthenticationDialog::promptHandler(editor.window()));

    // The installation the user started replaces this program; the post-update agent opens
    // the new one once this one has gone. Every event loop ends, a question or alert on
    // screen included, and no quit-time question is asked.
    notify::Observer didUpdate(kKBEDidUpdateNotification, mainQueue,
                               [] { QCoreApplication::exit(0); });

    if (!editor.applicationDidFinishLaunching()) {
        return 1;
    }
    return application.exec();
}

#pragma once

#include "application/editor/KBEAlert.h"
#include "application/editor/KBEDesktop.h"
#include "application/editor/KBUpdateController.h"
#include "application/editors/KBEScheduleEditor.h"
#include "common/KBEHelperMessager.h"
#include "common/VRNSystemVersionManager.h"
#include "platform/preferences/Domain.h"

#include <QObject>
#include <array>
#include <functional>
#include <memory>

class KBEDatePicker;
class QAction;
class QCheckBox;
class QComboBox;
class QMainWindow;
class QPushButton;
class VRNStackView;
class QWidget;

// Builds the schedule editor of a mode pop-up index: 0 when inactive, 1 interval, 2
// calendar intervals.
using KBEScheduleEditorFactory = std::function<std::unique_ptr<KBEScheduleEditor>(int index)>;

// The application's auxiliary windows, each created once per process by whoever builds
// them; a missing entry leaves its menu item disabled.
struct KBEditorWindows {
    std::function<void()> showPreferences;
    std::function<void()> showConsole;
    std::function<void()> showLocalSnapshots;
    // Where the engine's own automatic backups and power settings are changed.
    std::function<void()> showBackupEngine;
};

// The application's main window and its menu actions: reads the daemon's settings, shows
// them, builds new settings from the controls on Apply, sends them and explains the
// outcome; checks for updates, uninstalls, and asks once at quit about automatic updates.
class KBEditorController final : public QObject {
    Q_OBJECT

public:
    struct Collaborators {
        KBEHelperMessager& messager;
        KBEAlertPresenter& alerts;
        KBEDesktop& desktop;
        KBUpdateController& updates;
        const VRNSystemVersionManager& versions;
        // The application's defaults ("com.vornhal.keelbrook.application").
        prefs::Domain& applicationDefaults;
        // Prefixed to the installation's paths.
        std::string installationRoot;
        // The machine has a system battery.
        bool supportsBattery = false;
        // The daemon's socket unit is disabled or masked.
        std::function<bool()> schedulerSocketDisabled;
        KBEScheduleEditorFactory editors;
        KBEditorWindows windows;
        // The user's log folder, removed on uninstall.
        std::string userLogFolder;
        // The user-interface thread's queue, where asynchronous replies arrive.
        dispatch::QueuePtr mainQueue;
    };

    // The window's controls, for the program's own wiring and for tests.
    struct Controls {
        QCheckBox* backupCheckbox = nullptr;
        QComboBox* operationModePopup = nullptr;
        QCheckBox* allowBatteryCheckbox = nullptr;
        QCheckBox* snapshotsCheckbox = nullptr;
        QCheckBox* suspendCheckbox = nullptr;
        KBEDatePicker* suspendFromDatePicker = nullptr;
        KBEDatePicker* suspendToDatePicker = nullptr;
        QCheckBox* dontRunWhenPassiveCheckbox = nullptr;
        QCheckBox* dontRunWithSleepPreventersCheckbox = nullptr;
        QCheckBox* dontRunWhenNotNetworkWiredCheckbox = nullptr;
        QPushButton* advancedSettingsButton = nullptr;
        QPushButton* applyButton = nullptr;
        QWidget* modeStackView = nullptr;
        QWidget* suspendStackView = nullptr;
        QAction* localSnapshotsMenuItem = nullptr;
        QAction* consoleMenuItem = nullptr;
        QAction* checkUpdatesMenuItem = nullptr;
    };

    static constexpr const char* kDidAskAboutAutoUpdatesKey = "DidAskAboutAutoUpdates";

    explicit KBEditorController(Collaborators collaborators);
    ~KBEditorController() override;

    // Reads the settings and shows the window centred; false when the application must end.
    bool applicationDidFinishLaunching();
    // Asks the quit-time question when it is still open; the application then ends.
    void applicationShouldTerminate();

    bool reloadSettings();
    void updateSettings();
    void apply();
    void applySettings(const plist::Dictionary& settings);
    void changeBackUpCheckbox();
    void changeOperationMode();
    void changeAllowBatteryPower();
    void changeAdvancedSettings();
    void checkUpdates();
    void uninstall();
    void showMainWindow();
    void openWebSite();
    void contactByMail();

    QMainWindow* window() const { return _window; }
    const Controls& controls() const { return _controls; }
    const std::optional<plist::Dictionary>& currentSettings() const { return _currentSettings; }
    bool showAdvancedSettings() const { return _showAdvancedSettings; }
    // The rows the window shows, top to bottom.
    QList<QWidget*> visibleRows() const;
    bool checkingUpdates() const { return _checkingUpdates; }

private:
    void buildWindow();
    void buildMenus();
    KBEScheduleEditor* viewController(int index);
    void updateStackView();
    void updateAdvancedSettingsButton();
    bool hasSchedulerFile(const char* productPath) const;
    bool engineBoolean(const char* key, std::optional<bool>* value) const;
    void displayDidApplyAlertForSettings(const plist::Dictionary& settings);
    void displaySystemSchedulerCheckAlert(const std::string& title, const std::string& message);
    void displayAlert(const std::string& title, const VRNError& error, bool asSheet);
    void setCheckingUpdates(bool checking);

    Collaborators _c;
    QMainWindow* _window = nullptr;
    Controls _controls;
    VRNStackView* _stackView = nullptr;
    // The window's own rows; the stack view detaches the ones it does not show.
    QList<QWidget*> _ownRows;
    std::array<std::unique_ptr<KBEScheduleEditor>, 3> _editors;
    KBEScheduleEditor* _currentViewController = nullptr;
    std::optional<plist::Dictionary> _currentSettings;
    bool _supportsSnapshots = false;
    bool _showAdvancedSettings = false;
    bool _checkingUpdates = false;
    bool _terminating = false;
};

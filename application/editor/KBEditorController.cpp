#include "application/editor/KBEditorController.h"

#include "application/editor/KBESchedulerUnit.h"
#include "application/ui/KBEDatePicker.h"
#include "application/ui/VRNStackView.h"
#include "common/KBEHelperMessages.h"
#include "common/VRNLog.h"
#include "common/VRNMessagerErrors.h"
#include "common/VRNProductVersion.h"
#include "platform/paths/Paths.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <filesystem>

namespace {

constexpr const char* kJobFile = "/Library/LaunchDaemons/com.vornhal.keelbrook.scheduler.plist";
constexpr const char* kDaemon = "/Library/Keelbrook/com.vornhal.keelbrook.scheduler";
constexpr const char* kEngineDomain = "com.apple.TimeMachine";
constexpr const char* kEnginePreferences = "/Library/Preferences/com.apple.TimeMachine.plist";
const std::string kEnableSocketCommand =
    std::string("systemctl enable --now ") + kKBESchedulerSocketUnit;
constexpr const char* kOpenBackupEngine = "Open Backup Engine";

constexpr const char* kModes[] = {"WhenInactive", "Interval", "CalendarIntervals"};

bool boolean(const plist::Dictionary& settings, std::string_view key) {
    auto entry = settings.find(key);
    return entry != settings.end() && entry->second.asBoolean().value_or(false);
}

// A time of day from two entries of `dictionary`; invalid when either is not a number in
// range.
QTime timeOf(const plist::Dictionary& dictionary, std::string_view hourKey,
             std::string_view minuteKey) {
    auto hour = dictionary.find(hourKey);
    auto minute = dictionary.find(minuteKey);
    if (hour == dictionary.end() || minute == dictionary.end()) {
        return {};
    }
    const auto h = hour->second.asInteger();
    const auto m = minute->second.asInteger();
    if (!h || !m) {
        return {};
    }
    return QTime(static_cast<int>(*h), static_cast<int>(*m));
}

QCheckBox* checkbox(const char* title) {
    return new QCheckBox(QString::fromUtf8(title));
}

// Ends the application when the main window is closed, asking the quit-time question
// first.
class MainWindow final : public QMainWindow {
public:
    explicit MainWindow(std::function<void()> closing) : _closing(std::move(closing)) {}

protected:
    void closeEvent(QCloseEvent* event) override {
        QMainWindow::closeEvent(event);
        _closing();
    }

private:
    std::function<void()> _closing;
};

} // namespace

KBEditorController::KBEditorController(Collaborators collaborators) : _c(std::move(collaborators)) {
    _supportsSnapshots = _c.versions.runningAtLeastVersion(10, 13, 0);
    buildWindow();
    buildMenus();
}

KBEditorController::~KBEditorController() {
    // The editors own their views, which the window holds while they are shown.
    for (auto& editor : _editors) {
        editor.reset();
    }
    for (QWidget* row : _ownRows) {
        if (!row->parent()) {
            delete row;
        }
    }
    delete _window;
}

void KBEditorController::buildWindow() {
    _window = new MainWindow([this] { applicationShouldTerminate(); });
    _window->setWindowTitle(QStringLiteral("Keelbrook"));
    auto* content = new QWidget;
    auto* outer = new QVBoxLayout(content);

    auto& c = _controls;
    c.backupCheckbox = checkbox("Back up automatically");
    c.operationModePopup = new QComboBox;
    c.operationModePopup->addItems(
        {QStringLiteral("When Inactive"), QStringLiteral("Interval"), QStringLiteral("Calendar")});
    c.modeStackView = new QWidget;
    auto* modeRow = new QHBoxLayout(c.modeStackView);
    modeRow->setContentsMargins(0, 0, 0, 0);
    modeRow->addWidget(c.backupCheckbox);
    modeRow->addWidget(c.operationModePopup);
    modeRow->addStretch();

    c.suspendCheckbox = checkbox("Suspend backups from");
    c.suspendFromDatePicker = new KBEDatePicker(_c.versions);
    c.suspendToDatePicker = new KBEDatePicker(_c.versions);
    c.suspendStackView = new QWidget;
    auto* suspendRow = new QHBoxLayout(c.suspendStackView);
    suspendRow->setContentsMargins(0, 0, 0, 0);
    suspendRow->addWidget(c.suspendCheckbox);
    suspendRow->addWidget(c.suspendFromDatePicker);
    suspendRow->addWidget(new QLabel(QStringLiteral("to")));
    suspendRow->addWidget(c.suspendToDatePicker);
    suspendRow->addStretch();

    c.allowBatteryCheckbox = checkbox("Back up while on battery power");
    c.dontRunWhenPassiveCheckbox = checkbox("Don't back up while the computer is in passive use");
    c.dontRunWithSleepPreventersCheckbox =
        checkbox("Don't back up while an application prevents sleep");
    c.dontRunWhenNotNetworkWiredCheckbox =
        checkbox("Don't back up without a wired network connection");
    c.snapshotsCheckbox = checkbox("Create local snapshots");

    _ownRows = {c.modeStackView,
                c.suspendStackView,
                c.allowBatteryCheckbox,
                c.dontRunWhenPassiveCheckbox,
                c.dontRunWithSleepPreventersCheckbox,
                c.dontRunWhenNotNetworkWiredCheckbox,
                c.snapshotsCheckbox};
    _stackView = new VRNStackView;
    _stackView->setOrientation(VRNStackView::kVertical);
    outer->addWidget(_stackView);
    outer->addStretch();

    c.advancedSettingsButton = new QPushButton;
    c.applyButton = new QPushButton(QStringLiteral("Apply"));
    c.applyButton->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(c.advancedSettingsButton);
    buttons->addStretch();
    buttons->addWidget(c.applyButton);
    outer->addLayout(buttons);
    _window->setCentralWidget(content);

    connect(c.backupCheckbox, &QCheckBox::clicked, this, [this] { changeBackUpCheckbox(); });
    connect(c.operationModePopup, &QComboBox::activated, this, [this] { changeOperationMode(); });
    connect(c.allowBatteryCheckbox, &QCheckBox::clicked, this,
            [this] { changeAllowBatteryPower(); });
    connect(c.advancedSettingsButton, &QPushButton::clicked, this,
            [this] { changeAdvancedSettings(); });
    connect(c.applyButton, &QPushButton::clicked, this, [this] { apply(); });
    updateAdvancedSettingsButton();
}

void KBEditorController::buildMenus() {
    QMenuBar* bar = _window->menuBar();
    auto action = [this](QMenu* menu, const char* title, std::function<void()> handler,
                         QKeySequence key = {}) {
        QAction* item = menu->addAction(QString::fromUtf8(title));
        item->setShortcut(key);
        if (handler) {
            connect(item, &QAction::triggered, this, std::move(handler));
        } else {
            item->setEnabled(false);
        }
        return item;
    };
    QMenu* app = bar->addMenu(QStringLiteral("&Keelbrook"));
    _controls.checkUpdatesMenuItem = action(app, "Check for Updates…", [this] { checkUpdates(); });
    action(app, "Preferences…", _c.windows.showPreferences, QKeySequence(Qt::CTRL | Qt::Key_Comma));
    app->addSeparator();
    action(app, "Uninstall Keelbrook…", [this] { uninstall(); });
    app->addSeparator();
    action(
        app, "Quit Keelbrook", [this] { _window->close(); }, QKeySequence::Quit);

    QMenu* settings = bar->addMenu(QStringLiteral("&Settings"));
    action(
        settings, "Apply", [this] { apply(); }, QKeySequence(Qt::CTRL | Qt::Key_S));
    action(
        settings, "Show Current Settings", [this] { updateSettings(); },
        QKeySequence(Qt::CTRL | Qt::Key_R));

    QMenu* windows = bar->addMenu(QStringLiteral("&Window"));
    action(
        windows, "Keelbrook", [this] { showMainWindow(); }, QKeySequence(Qt::CTRL | Qt::Key_0));
    _controls.localSnapshotsMenuItem =
        action(windows, "Local Snapshots", _c.windows.showLocalSnapshots,
               QKeySequence(Qt::CTRL | Qt::Key_1));
    _controls.consoleMenuItem =
        action(windows, "Console", _c.windows.showConsole, QKeySequence(Qt::CTRL | Qt::Key_2));
    if (!_supportsSnapshots) {
        _controls.localSnapshotsMenuItem->setVisible(false);
        _controls.localSnapshotsMenuItem->setShortcut({});
        _controls.consoleMenuItem->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_1));
    }

    QMenu* help = bar->addMenu(QStringLiteral("&Help"));
    action(help, "Keelbrook Web Site", [this] { openWebSite(); });
    action(help, "Contact Support", [this] { contactByMail(); });
}

bool KBEditorController::applicationDidFinishLaunching() {
    VRNLog(VRNLogLevelInfo, "Running version %@.", std::to_string(VRNProductBuildNumber()));
    if (!reloadSettings()) {
        return false;
    }
    updateSettings();
    _window->adjustSize();
    if (const QScreen* screen = _window->screen()) {
        QRect frame = _window->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        _window->move(frame.topLeft());
    }
    showMainWindow();
    return true;
}

bool KBEditorController::reloadSettings() {
    std::optional<VRNError> error;
    const auto reply =
        _c.messager.sendSynchronousMessage(KBEHelperMessageGetSettings, std::nullopt, &error);
    if (reply && reply->asDictionary()) {
        _currentSettings = *reply->asDictionary();
        return true;
    }
    displayAlert(
        "Could not get settings.",
        error.value_or(VRNError(VRNMessagerErrorDomain, VRNMessagerErrorDeserializeReplyFailed)),
        false);
    return false;
}

KBEScheduleEditor* KBEditorController::viewController(int index) {
    index = std::clamp(index, 0, 2);
    auto& editor = _editors[static_cast<std::size_t>(index)];
    if (!editor && _c.editors) {
        editor = _c.editors(index);
        if (editor && _currentSettings) {
            auto value = _currentSettings->find(editor->name());
            editor->setSettings(value == _currentSettings->end()
                                    ? std::nullopt
                                    : std::optional<plist::Value>(value->second));
        }
    }
    return editor.get();
}

void KBEditorController::updateSettings() {
    if (!_currentSettings) {
        return;
    }
    const plist::Dictionary& s = *_currentSettings;
    for (auto& editor : _editors) {
        if (editor) {
            auto value = s.find(editor->name());
            editor->setSettings(value == s.end() ? std::nullopt
                                                 : std::optional<plist::Value>(value->second));
        }
    }
    auto& c = _controls;
    const bool disabled = boolean(s, "Disabled");
    const bool backups = !disabled && boolean(s, "Backups");
    c.backupCheckbox->setChecked(backups);
    c.operationModePopup->setEnabled(backups);
    c.advancedSettingsButton->setVisible(backups);

    auto mode = s.find("BackupsMode");
    const std::string* modeName = mode == s.end() ? nullptr : mode->second.asString();
    int index = 0;
    if (modeName && *modeName == kModes[1]) {
        index = 1;
    } else if (modeName && *modeName == kModes[2]) {
        index = 2;
    }
    c.operationModePopup->setCurrentIndex(index);
    _currentViewController = viewController(index);

    c.suspendCheckbox->setChecked(boolean(s, "Suspend"));
    auto suspend = s.find("SuspendSettings");
    if (suspend != s.end() && suspend->second.asDictionary()) {
        const plist::Dictionary& window = *suspend->second.asDictionary();
        if (const QTime from = timeOf(window, "StartHour", "StartMinute"); from.isValid()) {
            c.suspendFromDatePicker->setTime(from);
        }
        if (const QTime to = timeOf(window, "EndHour", "EndMinute"); to.isValid()) {
            c.suspendToDatePicker->setTime(to);
        }
    }

    const bool passive = boolean(s, "DontRunWhenPassive");
    const bool preventers = boolean(s, "DontRunWithSleepPreventers");
    const bool wired = boolean(s, "DontRunWhenNotNetworkWired");
    c.dontRunWhenPassiveCheckbox->setChecked(passive);
    c.dontRunWithSleepPreventersCheckbox->setChecked(preventers);
    c.dontRunWhenNotNetworkWiredCheckbox->setChecked(wired);
    c.allowBatteryCheckbox->setChecked(boolean(s, "AllowBattery"));
    c.snapshotsCheckbox->setChecked(!disabled && boolean(s, "Snapshots"));
    if (passive || preventers || wired) {
        _showAdvancedSettings = true;
    }
    updateAdvancedSettingsButton();
    updateStackView();
}

QList<QWidget*> KBEditorController::visibleRows() const {
    const auto& c = _controls;
    QList<QWidget*> rows{c.modeStackView};
    if (c.backupCheckbox->isChecked()) {
        if (_currentViewController && _currentViewController->view()) {
            rows.append(_currentViewController->view());
        }
        rows.append(c.suspendStackView);
        if (_c.supportsBattery) {
            rows.append(c.allowBatteryCheckbox);
        }
        if (_showAdvancedSettings) {
            if (_c.versions.runningAtLeastVersion(10, 10, 0)) {
                rows.append(c.dontRunWhenPassiveCheckbox);
            }
            rows.append(c.dontRunWithSleepPreventersCheckbox);
            if (_c.versions.runningAtLeastVersion(10, 14, 0)) {
                rows.append(c.dontRunWhenNotNetworkWiredCheckbox);
            }
        }
    }
    if (_supportsSnapshots) {
        rows.append(c.snapshotsCheckbox);
    }
    return rows;
}

void KBEditorController::updateStackView() {
    _stackView->setViews(visibleRows());
    // The window follows its rows, shrinking as well as growing.
    _stackView->layout()->activate();
    _window->centralWidget()->layout()->activate();
    _window->resize(_window->minimumSizeHint().expandedTo(_window->sizeHint()));
}

void KBEditorController::updateAdvancedSettingsButton() {
    _controls.advancedSettingsButton->setText(_showAdvancedSettings
                                                  ? QStringLiteral("Hide Advanced Settings")
                                                  : QStringLiteral("Show Advanced Settings"));
}

void KBEditorController::changeBackUpCheckbox() {
    const bool on = _controls.backupCheckbox->isChecked();
    _controls.operationModePopup->setEnabled(on);
    _controls.advancedSettingsButton->setVisible(on);
    updateStackView();
}

void KBEditorController::changeOperationMode() {
    KBEScheduleEditor* editor = viewController(_controls.operationModePopup->currentIndex());
    if (editor != _currentViewController) {
        _currentViewController = editor;
        updateStackView();
    }
}

void KBEditorController::changeAdvancedSettings() {
    _showAdvancedSettings = !_showAdvancedSettings;
    updateAdvancedSettingsButton();
    updateStackView();
}

void KBEditorController::apply() {
    plist::Dictionary settings = _currentSettings.value_or(plist::Dictionary{});
    settings.erase("Disabled");
    const auto& c = _controls;
    settings.insert_or_assign("Backups", plist::Value(c.backupCheckbox->isChecked()));
    const int mode = c.operationModePopup->currentIndex();
    settings.insert_or_assign("BackupsMode",
                              plist::Value(kModes[mode == 0 || mode == 1 ? mode : 2]));
    for (auto& editor : _editors) {
        if (auto value = editor ? editor->settings() : std::nullopt) {
            settings.insert_or_assign(editor->name(), std::move(*value));
        }
    }
    settings.insert_or_assign("Suspend", plist::Value(c.suspendCheckbox->isChecked()));
    const QTime from = c.suspendFromDatePicker->time();
    const QTime to = c.suspendToDatePicker->time();
    settings.insert_or_assign("SuspendSettings", plist::Value(plist::Dictionary{
                                                     {"StartHour", from.hour()},
                                                     {"StartMinute", from.minute()},
                                                     {"EndHour", to.hour()},
                                                     {"EndMinute", to.minute()},
                                                 }));
    settings.insert_or_assign("DontRunWhenPassive",
                              plist::Value(_showAdvancedSettings &&
                                           _c.versions.runningAtLeastVersion(10, 10, 0) &&
                                           c.dontRunWhenPassiveCheckbox->isChecked()));
    settings.insert_or_assign(
        "DontRunWithSleepPreventers",
        plist::Value(_showAdvancedSettings && c.dontRunWithSleepPreventersCheckbox->isChecked()));
    settings.insert_or_assign("DontRunWhenNotNetworkWired",
                              plist::Value(_showAdvancedSettings &&
                                           _c.versions.runningAtLeastVersion(10, 14, 0) &&
                                           c.dontRunWhenNotNetworkWiredCheckbox->isChecked()));
    if (_c.supportsBattery) {
        settings.insert_or_assign("AllowBattery",
                                  plist::Value(c.allowBatteryCheckbox->isChecked()));
    }
    if (_supportsSnapshots) {
        settings.insert_or_assign("Snapshots", plist::Value(c.snapshotsCheckbox->isChecked()));
    }
    if (_currentSettings && plist::Value(settings) == plist::Value(*_currentSettings)) {
        displaySystemSchedulerCheckAlert(
            "Settings already applied.",
            "The settings you are attempting to apply are already the ones installed in your "
            "system.");
        return;
    }
    applySettings(settings);
}

void KBEditorController::applySettings(const plist::Dictionary& settings) {
    std::optional<VRNError> error;
    const auto reply = _c.messager.sendSynchronousMessage(KBEHelperMessageInstallSettings,
                                                          plist::Value(settings), &error);
    if (!error) {
        _currentSettings = settings;
        displayDidApplyAlertForSettings(settings);
    } else if (!error->userCanceledAuthentication()) {
        displayAlert("Failed to apply settings.", *error, true);
    }
}

void KBEditorController::displayDidApplyAlertForSettings(const plist::Dictionary& settings) {
    if (boolean(settings, "Disabled") ||
        (!boolean(settings, "Backups") && !boolean(settings, "Snapshots"))) {
        KBEAlert alert;
        alert.title = "Settings applied successfully.";
        alert.text = "Keelbrook will not schedule backups anymore.";
        alert.asSheet = true;
        _c.alerts.runAlert(alert, _window);
        return;
    }
    displaySystemSchedulerCheckAlert("Settings applied successfully.",
                                     "Keelbrook will now enforce the new scheduling.");
}

bool KBEditorController::engineBoolean(const char* key, std::optional<bool>* value) const {
    prefs::Domain engine(kEngineDomain, paths::locate(kEnginePreferences, _c.installationRoot));
    const auto stored = engine.value(key);
    *value = stored ? stored->asBoolean() : std::nullopt;
    return value->has_value();
}

void KBEditorController::displaySystemSchedulerCheckAlert(const std::string& title,
                                                          const std::string& message) {
    std::optional<bool> autoBackup;
    engineBoolean("AutoBackup", &autoBackup);
    KBEAlert alert;
    alert.title = title;
    alert.text = message;
    alert.asSheet = true;
    if (!autoBackup.value_or(false)) {
        _c.alerts.runAlert(alert, _window);
        return;
    }
    alert.text += " Please make sure to disable automatic backups in the Backup Engine window in "
                  "order to turn off the system scheduler.";
    alert.buttons = {kOpenBackupEngine, "OK"};
    if (_c.alerts.runAlert(alert, _window).button == 0 && _c.windows.showBackupEngine) {
        _c.windows.showBackupEngine();
    }
}

void KBEditorController::changeAllowBatteryPower() {
    if (!_controls.allowBatteryCheckbox->isChecked() ||
        !_c.versions.runningAtLeastVersion(10, 15, 0)) {
        return;
    }
    std::optional<bool> requiresACPower;
    if (engineBoolean("RequiresACPower", &requiresACPower) && !*requiresACPower) {
        return;
    }
    KBEAlert alert;
    alert.title = "Important Note.";
    alert.text = "Please make sure to enable backups while on battery power in the Backup Engine "
                 "window.";
    alert.buttons = {kOpenBackupEngine, "OK"};
    alert.asSheet = true;
    if (_c.alerts.runAlert(alert, _window).button == 0 && _c.windows.showBackupEngine) {
        _c.windows.showBackupEngine();
    }
}

bool KBEditorController::hasSchedulerFile(const char* productPath) const {
    std::error_code ec;
    return std::filesystem::exists(paths::locate(productPath, _c.installationRoot), ec);
}

void KBEditorController::displayAlert(const std::string& title, const VRNError& error,
                                      bool asSheet) {
    KBEAlert alert;
    alert.style = KBEAlert::Style::Critical;
    alert.title = title;
    alert.asSheet = asSheet;
    bool systemSettings = false;
    if (error.domain() == VRNMessagerErrorDomain &&
        error.code() == VRNMessagerErrorServiceUnavailable) {
        if (!hasSchedulerFile(kJobFile) || !hasSchedulerFile(kDaemon)) {
            alert.text = "The background scheduler is not installed. This is fixed by "
                         "reinstalling the latest version available from the web site.";
            alert.buttons = {"Go to Web Site", "OK"};
        } else if (_c.versions.runningAtLeastVersion(13, 0, 0) && _c.schedulerSocketDisabled &&
                   _c.schedulerSocketDisabled()) {
            systemSettings = true;
            alert.text = std::string("The background scheduler has been disabled.\n\n"
                                     "1. Click the \"Copy Command\" button below\n"
                                     "2. Paste the command into a terminal: ") +
                         kEnableSocketCommand +
                         "\n3. Run it as an administrator (with sudo)\n\n"
                         "If this doesn't solve the issue, try reinstalling the latest version "
                         "available from the web site.";
            alert.buttons = {"Copy Command", "Go to Web Site"};
        } else {
            alert.text = "The background scheduler appears to be disabled. This is usually "
                         "fixed by reinstalling the latest version available from the web site.";
            alert.buttons = {"Go to Web Site", "Ask for Support", "OK"};
        }
    } else {
        alert.text = VRNError::localizedDescriptionForError(error) +
                     "\n\nYou should try installing the latest version available from the web "
                     "site.";
        alert.buttons = {"Go to Web Site", "Ask for Support", "OK"};
    }
    const std::size_t answer = _c.alerts.runAlert(alert, _window).button;
    const bool mailSupport = alert.buttons.size() == 3;
    if (systemSettings) {
        if (answer == 0) {
            _c.desktop.copyText(kEnableSocketCommand);
        } else if (answer == 1) {
            openWebSite();
        }
    } else if (answer == 0) {
        openWebSite();
    } else if (answer == 1 && mailSupport) {
        contactByMail();
    }
}

void KBEditorController::setCheckingUpdates(bool checking) {
    _checkingUpdates = checking;
    _controls.checkUpdatesMenuItem->setEnabled(!checking);
}

void KBEditorController::checkUpdates() {
    setCheckingUpdates(true);
    _c.updates.checkUpdatesWithCompletionHandler([this] { setCheckingUpdates(false); });
}

void KBEditorController::uninstall() {
    KBEAlert confirm;
    confirm.title = "Are you sure you want to uninstall Keelbrook?";
    confirm.text = "You can't undo this action.";
    confirm.buttons = {"Uninstall", "Cancel"};
    if (_c.alerts.runAlert(confirm, nullptr).button != 0) {
        return;
    }
    std::error_code ignored;
    std::filesystem::remove_all(_c.userLogFolder, ignored);
    std::filesystem::remove(_c.applicationDefaults.file(), ignored);
    _c.messager.sendMessage(KBEHelperMessageUninstall, std::nullopt, _c.mainQueue,
                            [this](std::optional<plist::Value>, std::optional<VRNError> error) {
                                if (!error || error->userCanceledAuthentication()) {
                                    return;
                                }
                                KBEAlert alert;
                                alert.style = KBEAlert::Style::Critical;
                                alert.title = "Could not uninstall.";
                                alert.text = VRNError::localizedDescriptionForError(*error);
                                _c.alerts.runAlert(alert, nullptr);
                            });
}

void KBEditorController::showMainWindow() {
    _window->show();
    _window->raise();
    _window->activateWindow();
}

void KBEditorController::openWebSite() {
    _c.desktop.openURL(kbesite::kWebPage);
}

void KBEditorController::contactByMail() {
    _c.desktop.openURL(kbesite::kSupportMail);
}

void KBEditorController::applicationShouldTerminate() {
    if (_terminating) {
        return;
    }
    _terminating = true;
    const bool asked = _c.applicationDefaults.value(kDidAskAboutAutoUpdatesKey)
                           .value_or(plist::Value(false))
                           .asBoolean()
                           .value_or(false);
    if (!asked) {
        std::optional<VRNError> error;
        const auto reply = _c.messager.sendSynchronousMessage(KBEHelperMessageGetUpdatesEnabled,
                                                              std::nullopt, &error);
        if (reply) {
            _c.applicationDefaults.setValue(kDidAskAboutAutoUpdatesKey, true);
            const plist::Value* enabled = reply->find("Enabled");
            if (!(enabled && enabled->asBoolean().value_or(false))) {
                KBEAlert alert;
                alert.title = "Do you want to enable automatic updates?";
                alert.text = "Updates are downloaded securely and verified before installation. "
                             "You can change this setting at any time from the preferences.";
                alert.buttons = {"Enable", "Maybe Later"};
                if (_c.alerts.runAlert(alert, nullptr).button == 0) {
                    std::optional<VRNError> ignored;
                    _c.messager.sendSynchronousMessage(
                        KBEHelperMessageSetUpdatesEnabled,
                        plist::Value(plist::Dictionary{{"Enabled", true}}), &ignored);
                }
            }
        }
    }
    QCoreApplication::quit();
}

#include "application/editor/KBESchedulerUnit.h"
#include "application/editor/KBEditorAssembly.h"
#include "application/editor/KBEditorController.h"
#include "application/ui/KBEDatePicker.h"
#include "common/KBEErrors.h"
#include "common/VRNMessagerErrors.h"
#include "common/VRNUpdaterErrors.h"
#include "platform/paths/Paths.h"
#include "tests/application/EditorTestSupport.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QTest>
#include <QTimeEdit>
#include <fstream>

using namespace apptest;

namespace {

plist::Dictionary daemonSettings() {
    return plist::Dictionary{
        {"Backups", true},
        {"Snapshots", true},
        {"AllowBattery", true},
        {"DontRunWhenPassive", false},
        {"DontRunWithSleepPreventers", false},
        {"DontRunWhenNotNetworkWired", false},
        {"Suspend", false},
        {"SuspendSettings",
         plist::Dictionary{
             {"StartHour", 22}, {"StartMinute", 30}, {"EndHour", 6}, {"EndMinute", 0}}},
        {"BackupsMode", "Interval"},
        {"WhenInactive", plist::Dictionary{}},
        {"Interval", plist::Dictionary{{"Hours", 1}}},
        {"CalendarIntervals", plist::Dictionary{{"Intervals", plist::Array{}}, {"ASAP", false}}},
    };
}

bool flag(const plist::Value& settings, const char* key) {
    const plist::Value* value = settings.find(key);
    return value && value->asBoolean().value_or(false);
}

struct Setup {
    bool supportsBattery = true;
    std::string systemVersion = "15.0.0";
    bool socketDisabled = false;
};

} // namespace

class EditorControllerTest : public QObject {
    Q_OBJECT

    std::unique_ptr<testsupport::TempFolder> folder;
    std::unique_ptr<StandInDaemonServer> daemon;
    std::unique_ptr<prefs::Domain> defaults;
    std::unique_ptr<VRNSystemVersionManager> versions;
    std::unique_ptr<KBEPostUpdateAgent> agent;
    std::unique_ptr<VRNNotificationCenter> notifications;
    std::unique_ptr<KBUpdateController> updates;
    std::shared_ptr<KBEMainThreadQueue> mainQueue;
    ScriptedAlerts alerts;
    RecordingDesktop desktop;
    int backupEngineShown = 0;
    std::vector<ValueEditor*> editors;

    std::unique_ptr<KBEditorController> make(Setup setup = {}) {
        versions = std::make_unique<VRNSystemVersionManager>(
            *VRNOperatingSystemVersion::parse(setup.systemVersion));
        updates = std::make_unique<KBUpdateController>(KBUpdateController::Collaborators{
            *daemon->messager, alerts, desktop, *agent, *notifications, mainQueue});
        return std::make_unique<KBEditorController>(KBEditorController::Collaborators{
            .messager = *daemon->messager,
            .alerts = alerts,
            .desktop = desktop,
            .updates = *updates,
            .versions = *versions,
            .applicationDefaults = *defaults,
            .installationRoot = folder->path().string(),
            .supportsBattery = setup.supportsBattery,
            .schedulerSocketDisabled = [disabled = setup.socketDisabled] { return disabled; },
            .editors =
                [this](int index) {
                    static const char* const names[] = {"WhenInactive", "Interval",
                                                        "CalendarIntervals"};
                    auto editor = std::make_unique<ValueEditor>(names[index]);
                    editors.push_back(editor.get());
                    return editor;
                },
            .windows = {.showPreferences = {},
                        .showConsole = {},
                        .showLocalSnapshots = {},
                        .showBackupEngine =
                            [this] {
                                ++backupEngineShown;
                            }},
            .userLogFolder = (folder->path() / "home-log").string(),
            .mainQueue = mainQueue,
        });
    }

    std::unique_ptr<KBEditorController> launched(plist::Dictionary settings, Setup setup = {}) {
        daemon->service->daemon.reply(KBEHelperMessageGetSettings, std::move(settings));
        auto editor = make(setup);
        if (!editor->applicationDidFinishLaunching()) {
            return nullptr;
        }
        return editor;
    }

    void writeEngineBoolean(const char* key, bool value) {
        prefs::Domain engine("com.apple.TimeMachine",
                             paths::locate("/Library/Preferences/com.apple.TimeMachine.plist",
                                           folder->path().string()));
        QVERIFY(engine.setValue(key, value));
    }

    std::size_t sentCount(long number) {
        const auto numbers = daemon->service->numbers();
        return static_cast<std::size_t>(std::count(numbers.begin(), numbers.end(), number));
    }

private slots:
    void init() {
        folder = std::make_unique<testsupport::TempFolder>();
        daemon = std::make_unique<StandInDaemonServer>(folder->path());
        QVERIFY(daemon->started);
        defaults = std::make_unique<prefs::Domain>(
            "com.vornhal.keelbrook.application",
            (folder->path() / "com.vornhal.keelbrook.application.plist").string());
        agent = std::make_unique<KBEPostUpdateAgent>("/nonexistent/agent");
        notifications = std::make_unique<VRNNotificationCenter>();
        mainQueue = KBEMainThreadQueue::create(qApp);
        alerts = {};
        desktop = {};
        backupEngineShown = 0;
        editors.clear();
    }
    void cleanup() {
        daemon.reset();
        folder.reset();
    }

    // The program's editors stand under the pop-up in the order of its modes: the mode sent
    // on Apply names the settings key of the editor shown for it.
    void theProgramsEditorsFollowThePopupsModes() {
        const VRNSystemVersionManager versions(*VRNOperatingSystemVersion::parse("15.0.0"));
        const auto programEditor = KBEProgramScheduleEditors(versions);
        QCOMPARE(programEditor(0)->name(), std::string("WhenInactive"));
        QCOMPARE(programEditor(1)->name(), std::string("Interval"));
        QCOMPARE(programEditor(2)->name(), std::string("CalendarIntervals"));
    }

    // The controls follow the daemon's settings, and applying them unchanged sends nothing;
    // integers where the editor builds booleans still compare equal.
    void unchangedSettingsAreNotSent() {
        plist::Dictionary settings = daemonSettings();
        settings.insert_or_assign("Snapshots", plist::Value(1));
        auto editor = launched(settings);
        QVERIFY(editor);
        const auto& c = editor->controls();
        QVERIFY(c.backupCheckbox->isChecked());
        QCOMPARE(c.operationModePopup->currentIndex(), 1);
        QCOMPARE(c.suspendFromDatePicker->time(), QTime(22, 30));
        QCOMPARE(c.suspendToDatePicker->time(), QTime(6, 0));
        QVERIFY(!editor->showAdvancedSettings());
        QCOMPARE(c.advancedSettingsButton->text(), QStringLiteral("Show Advanced Settings"));

        editor->apply();
        QCOMPARE(alerts.shown.size(), std::size_t(1));
        QCOMPARE(alerts.shown[0].title, std::string("Settings already applied."));
        QCOMPARE(alerts.shown[0].text,
                 std::string("The settings you are attempting to apply are already the ones "
                             "installed in your system."));
        QCOMPARE(sentCount(KBEHelperMessageInstallSettings), std::size_t(0));
    }

    // A daemon whose settings carry the master switch always gets the editor's (which
    // never carries it).
    void settingsWithTheMasterSwitchAreAlwaysSent() {
        plist::Dictionary settings = daemonSettings();
        settings.insert_or_assign("Disabled", plist::Value(false));
        auto editor = launched(settings);
        QVERIFY(editor);
        editor->apply();
        QCOMPARE(sentCount(KBEHelperMessageInstallSettings), std::size_t(1));
        const auto sent = daemon->service->lastPayload(KBEHelperMessageInstallSettings);
        QVERIFY(sent && !sent->find("Disabled"));
        QCOMPARE(alerts.shown.back().text,
                 std::string("Keelbrook will now enforce the new scheduling."));
        QCOMPARE(*editor->currentSettings(), *sent->asDictionary());
    }

    void bothOffMeansNoMoreBackups() {
        auto editor = launched(daemonSettings());
        QVERIFY(editor);
        editor->controls().backupCheckbox->click();
        editor->controls().snapshotsCheckbox->click();
        editor->apply();
        const auto sent = daemon->service->lastPayload(KBEHelperMessageInstallSettings);
        QVERIFY(sent);
        QVERIFY(!flag(*sent, "Backups") && !flag(*sent, "Snapshots"));
        QCOMPARE(alerts.shown.back().title, std::string("Settings applied successfully."));
        QCOMPARE(alerts.shown.back().text,
                 std::string("Keelbrook will not schedule backups anymore."));
        QVERIFY(alerts.shown.back().asSheet);
    }

    // With the engine's own automatic backups on, the outcome asks to switch them off, and
    // the first button opens the window where that is done.
    void engineAutoBackupAppendsTheInstruction() {
        writeEngineBoolean("AutoBackup", true);
        auto editor = launched(daemonSettings());
        QVERIFY(editor);
        editor->controls().suspendCheckbox->click();
        alerts.answer(0);
        editor->apply();
        const KBEAlert& shown = alerts.shown.back();
        QCOMPARE(shown.text,
                 std::string("Keelbrook will now enforce the new scheduling. Please make sure to "
                             "disable automatic backups in the Backup Engine window in order to "
                             "turn off the system scheduler."));
        QCOMPARE(shown.buttons, (std::vector<std::string>{"Open Backup Engine", "OK"}));
        QCOMPARE(backupEngineShown, 1);

        // The same for the already-applied case; "OK" opens nothing.
        alerts.answer(1);
        editor->apply();
        QCOMPARE(alerts.shown.back().title, std::string("Settings already applied."));
        QCOMPARE(alerts.shown.back().buttons.size(), std::size_t(2));
        QCOMPARE(backupEngineShown, 1);
        QCOMPARE(sentCount(KBEHelperMessageInstallSettings), std::size_t(1));
    }

    // Stored don't-run options show the advanced rows; hiding them and applying turns all
    // three off.
    void hiddenAdvancedSettingsTurnTheOptionsOff() {
        plist::Dictionary settings = daemonSettings();
        for (const char* key :
             {"DontRunWhenPassive", "DontRunWithSleepPreventers", "DontRunWhenNotNetworkWired"}) {
            settings.insert_or_assign(key, plist::Value(true));
        }
        auto editor = launched(settings);
        QVERIFY(editor);
        const auto& c = editor->controls();
        QVERIFY(editor->showAdvancedSettings());
        QCOMPARE(c.advancedSettingsButton->text(), QStringLiteral("Hide Advanced Settings"));
        QVERIFY(editor->visibleRows().contains(c.dontRunWhenNotNetworkWiredCheckbox));

        editor->changeAdvancedSettings();
        QVERIFY(!editor->visibleRows().contains(c.dontRunWithSleepPreventersCheckbox));
        QVERIFY(c.dontRunWhenPassiveCheckbox->isChecked()); // the controls keep their state
        editor->apply();
        const auto sent = daemon->service->lastPayload(KBEHelperMessageInstallSettings);
        QVERIFY(sent);
        QVERIFY(!flag(*sent, "DontRunWhenPassive"));
        QVERIFY(!flag(*sent, "DontRunWithSleepPreventers"));
        QVERIFY(!flag(*sent, "DontRunWhenNotNetworkWired"));
    }

    // Rows: backups off leaves the mode row and the snapshots box; an older system drops
    // the wired-network row and the snapshots box (and the Local Snapshots item's key).
    void visibleRowsFollowTheRules() {
        auto editor = launched(daemonSettings());
        QVERIFY(editor);
        const auto& c = editor->controls();
        QCOMPARE(editor->visibleRows(),
                 (QList<QWidget*>{c.modeStackView, editors.front()->view(), c.suspendStackView,
                                  c.allowBatteryCheckbox, c.snapshotsCheckbox}));
        c.backupCheckbox->click();
        QCOMPARE(editor->visibleRows(), (QList<QWidget*>{c.modeStackView, c.snapshotsCheckbox}));
        QVERIFY(!c.operationModePopup->isEnabled());
        QVERIFY(c.advancedSettingsButton->isHidden());

        // The calendar editor is made on first choice, loaded with the daemon's value.
        c.backupCheckbox->click();
        c.operationModePopup->setCurrentIndex(2);
        editor->changeOperationMode();
        QCOMPARE(editors.size(), std::size_t(2));
        QCOMPARE(editors.back()->value, plist::Value(daemonSettings().at("CalendarIntervals")));
        QCOMPARE(editor->visibleRows().at(1), editors.back()->view());

        auto older = launched(daemonSettings(), {.systemVersion = "10.12.6"});
        QVERIFY(older);
        older->changeAdvancedSettings();
        const auto& o = older->controls();
        const auto rows = older->visibleRows();
        QVERIFY(rows.contains(o.dontRunWithSleepPreventersCheckbox));
        QVERIFY(!rows.contains(o.dontRunWhenNotNetworkWiredCheckbox));
        QVERIFY(!rows.contains(o.snapshotsCheckbox));
        QVERIFY(!o.localSnapshotsMenuItem->isVisible());
        QCOMPARE(o.consoleMenuItem->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_1));
    }

    // Applying sends the editors' values and the mode; editors never opened leave their
    // keys as the daemon had them.
    void applyBuildsFromTheControls() {
        auto editor = launched(daemonSettings());
        QVERIFY(editor);
        const auto& c = editor->controls();
        editors.front()->value = plist::Dictionary{{"Minutes", 90}};
        c.suspendCheckbox->click();
        c.suspendFromDatePicker->setTime(QTime(1, 5));
        editor->apply();
        const auto sent = daemon->service->lastPayload(KBEHelperMessageInstallSettings);
        QVERIFY(sent);
        QCOMPARE(*sent->find("Interval"), plist::Value(plist::Dictionary{{"Minutes", 90}}));
        QCOMPARE(*sent->find("CalendarIntervals"), daemonSettings().at("CalendarIntervals"));
        QCOMPARE(*sent->find("BackupsMode"), plist::Value("Interval"));
        QVERIFY(flag(*sent, "Suspend"));
        QCOMPARE(*sent->find("SuspendSettings"),
                 plist::Value(plist::Dictionary{
                     {"StartHour", 1}, {"StartMinute", 5}, {"EndHour", 6}, {"EndMinute", 0}}));
    }

    void withoutABatteryAllowBatteryIsSentAsTheDaemonHadIt() {
        auto editor = launched(daemonSettings(), {.supportsBattery = false});
        QVERIFY(editor);
        const auto& c = editor->controls();
        QVERIFY(!editor->visibleRows().contains(c.allowBatteryCheckbox));
        c.allowBatteryCheckbox->setChecked(false);
        c.snapshotsCheckbox->click();
        editor->apply();
        const auto sent = daemon->service->lastPayload(KBEHelperMessageInstallSettings);
        QVERIFY(sent && flag(*sent, "AllowBattery"));

        // With a battery the box counts, and switching it on warns unless the engine runs
        // on battery already.
        auto laptop = launched(daemonSettings());
        QVERIFY(laptop);
        laptop->controls().allowBatteryCheckbox->setChecked(true);
        laptop->changeAllowBatteryPower();
        QCOMPARE(alerts.shown.back().title, std::string("Important Note."));
        const std::size_t shown = alerts.shown.size();
        writeEngineBoolean("RequiresACPower", false);
        laptop->changeAllowBatteryPower();
        QCOMPARE(alerts.shown.size(), shown);
        laptop->controls().allowBatteryCheckbox->click();
        laptop->apply();
        QVERIFY(
            !flag(*daemon->service->lastPayload(KBEHelperMessageInstallSettings), "AllowBattery"));
    }

    // A refused install keeps the edits; a cancelled authentication says nothing.
    void failedAndCancelledApplies() {
        auto editor = launched(daemonSettings());
        QVERIFY(editor);
        editor->controls().suspendCheckbox->click();
        daemon->service->daemon.fail(KBEHelperMessageInstallSettings,
                                     VRNError(KBEErrorDomain, 5, {{"key", plist::Value("X")}}));
        editor->apply();
        QCOMPARE(alerts.shown.back().title, std::string("Failed to apply settings."));
        QCOMPARE(alerts.shown.back().text,
                 std::string("Unknown key: 'X'.\n\nYou should try installing the latest version "
                             "available from the web site."));
        QVERIFY(alerts.shown.back().asSheet);
        QVERIFY(editor->controls().suspendCheckbox->isChecked());
        QCOMPARE(*editor->currentSettings(), daemonSettings());

        const std::size_t shown = alerts.shown.size();
        daemon->clientAuthorization.cancel = true;
        editor->apply();
        QCOMPARE(alerts.shown.size(), shown);
        QCOMPARE(*editor->currentSettings(), daemonSettings());
    }

    // The service not answering: not installed, switched off, or otherwise away.
    void theSchedulerUnavailable() {
        daemon->server->stop();
        auto missing = make();
        alerts.answer(0);
        QVERIFY(!missing->applicationDidFinishLaunching());
        QCOMPARE(alerts.shown.back().title, std::string("Could not get settings."));
        QCOMPARE(alerts.shown.back().text,
                 std::string("The background scheduler is not installed. This is fixed by "
                             "reinstalling the latest version available from the web site."));
        QVERIFY(!alerts.shown.back().asSheet);
        QCOMPARE(desktop.opened, std::vector<std::string>{kbesite::kWebPage});

        for (const char* file : {"/Library/LaunchDaemons/com.vornhal.keelbrook.scheduler.plist",
                                 "/Library/Keelbrook/com.vornhal.keelbrook.scheduler"}) {
            const std::filesystem::path path = paths::locate(file, folder->path().string());
            std::filesystem::create_directories(path.parent_path());
            std::ofstream{path};
        }
        auto disabled = make({.socketDisabled = true});
        alerts.answer(0);
        QVERIFY(!disabled->applicationDidFinishLaunching());
        QVERIFY(alerts.shown.back().text.find(
                    "systemctl enable --now com.vornhal.keelbrook.scheduler.socket") !=
                std::string::npos);
        QCOMPARE(alerts.shown.back().buttons,
                 (std::vector<std::string>{"Copy Command", "Go to Web Site"}));
        QCOMPARE(desktop.copied,
                 std::vector<std::string>{
                     "systemctl enable --now com.vornhal.keelbrook.scheduler.socket"});

        auto away = make();
        alerts.answer(1);
        QVERIFY(!away->applicationDidFinishLaunching());
        QCOMPARE(alerts.shown.back().text,
                 std::string("The background scheduler appears to be disabled. This is usually "
                             "fixed by reinstalling the latest version available from the web "
                             "site."));
        QCOMPARE(desktop.opened.back(), std::string(kbesite::kSupportMail));
    }

    // Asked once: after a successful read, and never when updates are on already.
    void theQuitQuestionIsAskedAtMostOnce() {
        daemon->service->daemon.fail(KBEHelperMessageGetUpdatesEnabled,
                                     VRNError(VRNMessagerErrorDomain, 8));
        make()->applicationShouldTerminate();
        QVERIFY(alerts.shown.empty());
        QVERIFY(!defaults->value(KBEditorController::kDidAskAboutAutoUpdatesKey));

        daemon->service->daemon.reply(KBEHelperMessageGetUpdatesEnabled, {{"Enabled", false}});
        alerts.answer(0);
        auto first = make();
        first->applicationShouldTerminate();
        first->applicationShouldTerminate();
        QCOMPARE(alerts.shown.size(), std::size_t(1));
        QCOMPARE(alerts.shown[0].title, std::string("Do you want to enable automatic updates?"));
        QCOMPARE(alerts.shown[0].buttons, (std::vector<std::string>{"Enable", "Maybe Later"}));
        QCOMPARE(*daemon->service->lastPayload(KBEHelperMessageSetUpdatesEnabled),
                 plist::Value(plist::Dictionary{{"Enabled", true}}));

        make()->applicationShouldTerminate();
        QCOMPARE(alerts.shown.size(), std::size_t(1));
        QCOMPARE(sentCount(KBEHelperMessageGetUpdatesEnabled), std::size_t(2));

        QVERIFY(defaults->removeValue(KBEditorController::kDidAskAboutAutoUpdatesKey));
        daemon->service->daemon.reply(KBEHelperMessageGetUpdatesEnabled, {{"Enabled", true}});
        make()->applicationShouldTerminate();
        QCOMPARE(alerts.shown.size(), std::size_t(1));
        QVERIFY(defaults->value(KBEditorController::kDidAskAboutAutoUpdatesKey));
    }

    // The update check's menu item is off while a check runs.
    void checkForUpdatesIsDisabledWhileChecking() {
        auto editor = make();
        daemon->service->daemon.fail(KBEHelperMessageCheckForUpdate,
                                     VRNError(VRNUpdaterErrorDomain, VRNUpdaterErrorFetchFailed));
        editor->checkUpdates();
        QVERIFY(editor->checkingUpdates());
        QVERIFY(!editor->controls().checkUpdatesMenuItem->isEnabled());
        QTRY_VERIFY(!editor->checkingUpdates());
        QVERIFY(editor->controls().checkUpdatesMenuItem->isEnabled());
        QCOMPARE(alerts.shown.back().title,
                 std::string("Keelbrook was unable to check for updates."));
        QCOMPARE(alerts.shown.back().style, KBEAlert::Style::Warning);
    }

    // systemctl's answer: an exit status of 1 is switched off; enabled, or no systemctl to
    // ask, is not.
    void theSocketUnitsStateComesFromSystemctl() {
        const auto tool = [&](const char* name, const std::string& body) {
            const auto path = folder->path() / name;
            std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
            std::filesystem::permissions(path, std::filesystem::perms::owner_all);
            return path.string();
        };
        const auto arguments = folder->path() / "arguments";
        QVERIFY(KBESchedulerSocketDisabled(
            tool("disabled", "echo \"$@\" > '" + arguments.string() + "'; exit 1")));
        std::ifstream in(arguments);
        std::string asked;
        std::getline(in, asked);
        QCOMPARE(asked, std::string("is-enabled --quiet com.vornhal.keelbrook.scheduler.socket"));
        QVERIFY(!KBESchedulerSocketDisabled(tool("enabled", "exit 0")));
        QVERIFY(!KBESchedulerSocketDisabled((folder->path() / "missing").string()));
    }

    void uninstallConfirmsRemovesAndReports() {
        auto editor = make();
        alerts.answer(1);
        editor->uninstall();
        QCOMPARE(alerts.shown.back().buttons, (std::vector<std::string>{"Uninstall", "Cancel"}));
        QCOMPARE(sentCount(KBEHelperMessageUninstall), std::size_t(0));

        std::filesystem::create_directories(folder->path() / "home-log");
        QVERIFY(defaults->setValue("DidAskAboutAutoUpdates", true));
        daemon->service->daemon.fail(KBEHelperMessageUninstall, VRNError(KBEErrorDomain, 2));
        alerts.answer(0);
        editor->uninstall();
        QVERIFY(!std::filesystem::exists(folder->path() / "home-log"));
        QVERIFY(!std::filesystem::exists(defaults->file()));
        QTRY_COMPARE(alerts.shown.back().title, std::string("Could not uninstall."));
        QCOMPARE(sentCount(KBEHelperMessageUninstall), std::size_t(1));
    }
};

QTEST_MAIN(EditorControllerTest)
#include "EditorControllerTest.moc"

// Pictures of the editor window in each mode and of alerts as the message-box presenter
// draws them, saved for a person to look at; on the way, the presenter's answers are
// checked against the buttons that were pressed.

#include "application/editor/KBEditorController.h"
#include "application/editors/KBECalendarIntervalViewController.h"
#include "application/editors/KBEIntervalViewController.h"
#include "application/editors/KBEWhenInactiveViewController.h"
#include "tests/application/EditorTestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QMainWindow>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

using namespace apptest;

namespace {

plist::Dictionary daemonSettings() {
    return plist::Dictionary{
        {"Backups", true},
        {"Snapshots", true},
        {"AllowBattery", false},
        {"DontRunWhenPassive", true},
        {"DontRunWithSleepPreventers", false},
        {"DontRunWhenNotNetworkWired", false},
        {"Suspend", true},
        {"SuspendSettings",
         plist::Dictionary{
             {"StartHour", 22}, {"StartMinute", 30}, {"EndHour", 6}, {"EndMinute", 0}}},
        {"BackupsMode", "WhenInactive"},
        {"WhenInactive", plist::Dictionary{}},
        {"Interval", plist::Dictionary{{"Hours", 2}}},
        {"CalendarIntervals",
         plist::Dictionary{
             {"Intervals",
              plist::Array{plist::Dictionary{{"Hour", 9}, {"Minute", 15}},
                           plist::Dictionary{{"Weekday", 6}, {"Hour", 18}, {"Minute", 0}}}},
             {"ASAP", true}}},
    };
}

void save(QWidget* widget, const QString& name) {
    QDir().mkpath(KBE_SCREENSHOT_DIR);
    QVERIFY(widget->grab().save(QString(KBE_SCREENSHOT_DIR) + "/" + name + ".png"));
}

} // namespace

class MainWindowScreenshots : public QObject {
    Q_OBJECT

    // Once the next alert is up: saves its picture, ticks its checkbox when asked, and
    // presses the button titled `button`.
    void answerNextAlert(const QString& name, const QString& button, bool tick) {
        QTimer::singleShot(0, this, [=, this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) {
                answerNextAlert(name, button, tick);
                return;
            }
            if (tick && box->checkBox()) {
                box->checkBox()->setChecked(true);
            }
            QTest::qWait(50);
            save(box, name);
            for (QAbstractButton* candidate : box->buttons()) {
                if (candidate->text() == button) {
                    candidate->click();
                }
            }
        });
    }

private slots:
    void editorInEachMode() {
        testsupport::TempFolder folder;
        StandInDaemonServer daemon(folder.path());
        QVERIFY(daemon.started);
        daemon.service->daemon.reply(KBEHelperMessageGetSettings, daemonSettings());
        const VRNSystemVersionManager versions({15, 0, 0});
        ScriptedAlerts alerts;
        RecordingDesktop desktop;
        VRNNotificationCenter notifications;
        KBEPostUpdateAgent agent("/nonexistent/agent");
        const auto queue = KBEMainThreadQueue::create(qApp);
        KBUpdateController updates(
            {*daemon.messager, alerts, desktop, agent, notifications, queue});
        prefs::Domain defaults("com.vornhal.keelbrook.application",
                               (folder.path() / "application.plist").string());
        KBEditorController editor({
            .messager = *daemon.messager,
            .alerts = alerts,
            .desktop = desktop,
            .updates = updates,
            .versions = versions,
            .applicationDefaults = defaults,
            .installationRoot = folder.path().string(),
            .supportsBattery = true,
            .schedulerSocketDisabled = [] { return false; },
            .editors = [&versions](int index) -> std::unique_ptr<KBEScheduleEditor> {
                if (index == 0) {
                    return std::make_unique<KBEWhenInactiveViewController>();
                }
                if (index == 1) {
                    return std::make_unique<KBEIntervalViewController>();
                }
                return std::make_unique<KBECalendarIntervalViewController>(versions);
            },
            .windows = {},
            .userLogFolder = (folder.path() / "log").string(),
            .mainQueue = queue,
        });
        QVERIFY(editor.applicationDidFinishLaunching());
        QVERIFY(QTest::qWaitForWindowExposed(editor.window()));
        auto shot = [&](const QString& name) {
            QTest::qWait(100);
            save(editor.window(), name);
        };
        shot("editor-when-inactive");
        for (int mode : {1, 2}) {
            editor.controls().operationModePopup->setCurrentIndex(mode);
            editor.changeOperationMode();
            shot(mode == 1 ? "editor-interval" : "editor-calendar");
        }
        editor.changeAdvancedSettings();
        shot("editor-calendar-advanced-hidden");
        editor.controls().backupCheckbox->click();
        shot("editor-backups-off");
    }

    // The presenter answers with the index of the pressed button and the checkbox's state.
    void alertsAsDrawn() {
        KBEMessageBoxPresenter presenter;
        KBEAlert update;
        update.title = "New version available.";
        update.text = "Keelbrook 2.1 is available. Would you like to update now?";
        update.buttons = {"Update", "Download", "Later"};
        answerNextAlert("alert-new-version", "Download", false);
        QCOMPARE(presenter.runAlert(update, nullptr).button, std::size_t(1));

        KBEAlert upToDate;
        upToDate.title = "You are up to date.";
        upToDate.text = "You are currently using the latest version of Keelbrook.";
        upToDate.checkbox = "Install updates automatically";
        answerNextAlert("alert-up-to-date", "OK", true);
        const KBEAlertResponse answer = presenter.runAlert(upToDate, nullptr);
        QCOMPARE(answer.button, std::size_t(0));
        QVERIFY(answer.checkboxOn);

        KBEAlert failed;
        failed.style = KBEAlert::Style::Critical;
        failed.title = "Could not get settings.";
        failed.text = "The background scheduler is not installed. This is fixed by reinstalling "
                      "the latest version available from the web site.";
        failed.buttons = {"Go to Web Site", "OK"};
        answerNextAlert("alert-not-installed", "OK", false);
        QCOMPARE(presenter.runAlert(failed, nullptr).button, std::size_t(1));
    }
};

QTEST_MAIN(MainWindowScreenshots)
#include "MainWindowScreenshots.moc"

// Saves pictures of the console with coloured lines into the build folder, for a person to
// look at: the window while refreshing, after it, and with a line selected.

#include <QObject>
#include <QTest>

#ifndef Q_MOC_RUN
#include "ConsoleTestSupport.h"
#include "application/console/KBEConsoleController.h"
#include "application/console/KBEConsoleTextView.h"
#include "application/ui/KBEMainThreadQueue.h"
#include "common/VRNSystemVersionManager.h"

#include <QDir>
#include <QPushButton>
#include <QTextBlock>
#include <QTextEdit>

namespace {

QByteArray line(const char* subsystem, const char* time, const char* type, const char* message,
                const char* image) {
    return QString("{\"subsystem\":\"%1\",\"timestamp\":\"2026.12.08 %2.000000+0000\","
                   "\"messageType\":\"%3\",\"eventMessage\":\"%4\",\"processImagePath\":\"%5\"}")
        .arg(subsystem, time, type, message, image)
        .toUtf8();
}

const char* const kProduct = "com.vornhal.keelbrook";
const char* const kEngineSubsystem = "com.apple.TimeMachine";
const char* const kDaemon = "/usr/libexec/keelbrook/com.vornhal.keelbrook.scheduler";
const char* const kEngine = "/usr/libexec/keelbrook/backupd";

QByteArray recordedLog() {
    const QList<QByteArray> lines{
        line(kProduct, "09:00:00", "Default", "Scheduler started.", kDaemon),
        line(kProduct, "09:00:01", "Debug", "[com.vornhal.keelbrook.backup] Next run in 3600 s.",
             kDaemon),
        line(kProduct, "09:05:12", "Info", "Settings applied successfully.", "/usr/bin/keelbrook"),
        line(kProduct, "10:00:00", "Default", "[com.vornhal.keelbrook.backup] Starting backup.",
             kDaemon),
        line(kEngineSubsystem, "10:00:01", "Default", "Starting automatic backup", kEngine),
        line(kEngineSubsystem, "10:00:02", "Default", "Thermal pressure level 1", kEngine),
        line(kEngineSubsystem, "10:00:40", "Info", "Copied 1204 items (38.2 MB)", kEngine),
        line(kEngineSubsystem, "10:00:41", "Default", "Backup completed successfully.", kEngine),
        line(kProduct, "10:00:42", "Default", "[com.vornhal.keelbrook.backup] Backup finished.",
             kDaemon),
        line(kProduct, "11:30:07", "Error", "Could not reach the daemon.", "/usr/bin/kbectl"),
        line(kProduct, "bad time", "Default", "An entry whose time does not parse.", kDaemon),
    };
    return "[" + lines.join(",\n") + "]";
}

} // namespace
#endif

class ConsoleScreenshot : public QObject {
    Q_OBJECT

private slots:
    void console() {
        ConsoleInstallation installation;
        installation.setOutput(recordedLog());
        QObject context;
        KBEConsoleController console(
            std::make_shared<VRNSystemVersionManager>(VRNOperatingSystemVersion{15, 0, 0}),
            KBEMainThreadQueue::create(&context), dispatch::globalQueue());
        console.resize(760, 300);
        console.show();
        QVERIFY(QTest::qWaitForWindowExposed(&console));
        const QString folder = QStringLiteral(KBE_SCREENSHOT_DIR);
        QVERIFY(QDir().mkpath(folder));
        // While the tool runs: the spinner turns, both buttons are disabled.
        console.windowDidLoad();
        QVERIFY(console.grab().save(folder + "/console-refreshing.png"));
        QTRY_VERIFY(console.refreshButton()->isEnabled());
        QVERIFY(!console.textView()->document()->isEmpty());
        QTest::qWait(100);
        QVERIFY(console.grab().save(folder + "/console.png"));

        // One line selected: only its background changes.
        QTextCursor cursor(console.textView()->document()->findBlockByNumber(3));
        cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
        console.textView()->setTextCursor(cursor);
        console.textView()->setFocus();
        QTest::qWait(100);
        QVERIFY(console.grab().save(folder + "/console-selection.png"));
    }
};

QTEST_MAIN(ConsoleScreenshot)
#include "ConsoleScreenshot.moc"

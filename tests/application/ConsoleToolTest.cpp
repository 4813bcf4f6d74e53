// The console with the real log tool, which reads the programs' own log files in a private
// installation (no journal runs there): what the tool prints is what the console parses.

#include <QObject>
#include <QTest>

#ifndef Q_MOC_RUN
#include "ConsoleTestSupport.h"
#include "application/console/KBEConsoleController.h"
#include "application/console/KBEConsoleTextView.h"
#include "application/ui/KBEMainThreadQueue.h"
#include "common/VRNSystemVersionManager.h"
#include "platform/calendar/DateFormatter.h"

#include <QPushButton>
#include <cmath>
#endif

class ConsoleToolTest : public QObject {
    Q_OBJECT

    std::unique_ptr<ConsoleInstallation> installation_;
    QObject context_;
    double time_ = 0; // an hour ago, in whole seconds

    QString shownText(VRNOperatingSystemVersion version) {
        KBEConsoleController console(std::make_shared<VRNSystemVersionManager>(version),
                                     KBEMainThreadQueue::create(&context_),
                                     dispatch::globalQueue());
        console.refresh();
        if (!QTest::qWaitFor([&] { return console.refreshButton()->isEnabled(); }, 20000)) {
            return "(no result)";
        }
        return KBEConsolePlainText(*console.textView()->document());
    }

    QString timeText(double later = 0) const {
        return QString::fromStdString(cal::shortDateMediumTimeText(time_ + later));
    }

private slots:
    void initTestCase() {
        installation_ = std::make_unique<ConsoleInstallation>(LOG_TOOL);
        time_ = std::floor(cal::now()) - 3600;
        const QString logs = QString::fromStdString(paths::path("/Library/Logs/Keelbrook"));
        QVERIFY(QDir().mkpath(logs));
        // The engine's lines a second after the daemon's.
        const QByteArray date = QByteArray::fromStdString(cal::logDateText(time_ + 1));
        ConsoleInstallation::write(logs + "/scheduler.log",
                                   QByteArray::fromStdString(cal::logDateText(time_)) +
                                       " scheduler[42] Backup started.\n");
        ConsoleInstallation::write(logs + "/backupd.log",
                                   date + " backupd[43] Starting automatic backup\n" + date +
                                       " backupd[43] Thermal pressure level 2\n" + date +
                                       " backupd[43] Copied 3 files\n");
    }

    void unifiedLogShowsTheProductsAndTheEnginesLines() {
        const QString text = shownText({15, 0, 0});
        QCOMPARE(text, timeText() +
                           QString::fromUtf8(" Keelbrook\u00a0Scheduler Backup started.\n") +
                           timeText(1) + " Time Machine Starting automatic backup\n" + timeText(1) +
                           " Time Machine Copied 3 files\n");
    }

    void legacyRecordsShowTheEnginesLinesOnly() {
        const QString text = shownText({10, 11, 6});
        QCOMPARE(text, timeText(1) + ": Starting automatic backup\n" + timeText(1) +
                           ": Thermal pressure level 2\n" + timeText(1) + ": Copied 3 files\n");
    }
};

QTEST_MAIN(ConsoleToolTest)
#include "ConsoleToolTest.moc"

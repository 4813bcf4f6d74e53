// The Backup Engine window: the engine's preferences shown, and its changes run through a
// stand-in of pkexec that records its arguments and exits as the test says.

#include "application/backup-engine/KBEBackupEngineController.h"
#include "tests/application/Screenshots.h"
#include "tests/support/TempFolder.h"

#include <QApplication>
#include <QLabel>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <sstream>

class BackupEngineTest : public QObject {
    Q_OBJECT

private:
    std::string read(const std::string& name) {
        std::ifstream in(folder_->path() / name);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    void exitWith(int status) { std::ofstream(folder_->path() / "status") << status; }

    std::unique_ptr<KBEBackupEngineController> makeWindow() {
        return std::make_unique<KBEBackupEngineController>(KBEBackupEngineServices{
            preferences_, (folder_->path() / "pkexec").string(), "/usr/bin/tmutil"});
    }

    std::unique_ptr<testsupport::TempFolder> folder_;
    std::shared_ptr<prefs::Domain> preferences_;

private slots:
    void init() {
        folder_ = std::make_unique<testsupport::TempFolder>();
        const auto script = folder_->path() / "pkexec";
        std::ofstream(script) << "#!/bin/sh\n"
                                 "cd \"$(dirname \"$0\")\"\n"
                                 "echo \"$@\" > arguments\n"
                                 "exit $(cat status)\n";
        std::filesystem::permissions(script, std::filesystem::perms(0755));
        exitWith(0);
        preferences_ = std::make_shared<prefs::Domain>(
            "com.apple.TimeMachine", (folder_->path() / "com.apple.TimeMachine.plist").string());
    }

    // Destination, result, dates and automatic backups come from the engine's preferences;
    // only the current destination's entry counts.
    void showsTheEnginesState() {
        auto window = makeWindow();
        QCOMPARE(window->destinationField()->text(), QString("None"));
        QCOMPARE(window->lastResultField()->text(), QString("No backup yet"));
        QCOMPARE(window->autoBackupField()->text(), QString("Off"));

        const auto success = plist::Date::fromUnixTime(1796000000);
        preferences_->setValue("RepositoryURL", plist::Value("/srv/backups"));
        preferences_->setValue("LastDestinationID", plist::Value("B"));
        preferences_->setValue("AutoBackup", plist::Value(true));
        preferences_->setValue(
            "Destinations",
            plist::Value(
                plist::Array{plist::Value(plist::Dictionary{{"DestinationID", "A"}, {"RESULT", 0}}),
                             plist::Value(plist::Dictionary{{"DestinationID", "B"},
                                                            {"RESULT", 3},
                                                            {"LastAttemptDate", success},
                                                            {"LastSuccessDate", success}})}));
        window->reload();
        QCOMPARE(window->destinationField()->text(), QString("/srv/backups"));
        QCOMPARE(window->lastResultField()->text(), QString("Failed (code 3)"));
        QVERIFY(window->lastSuccessField()->text() != "Never");
        QCOMPARE(window->lastAttemptField()->text(), window->lastSuccessField()->text());
        QCOMPARE(window->autoBackupField()->text(), QString("On"));
        apptest::saveScreenshot(*window, "backup-engine");
    }

    // Each change runs the engine's command line through pkexec and tells how it went.
    void changesRunThroughPkexecAndShowTheOutcome() {
        auto window = makeWindow();
        window->setDestination("/srv/new backups");
        QVERIFY(window->isRunning());
        QTRY_VERIFY(!window->isRunning());
        QCOMPARE(read("arguments"),
                 std::string("/usr/bin/tmutil setdestination /srv/new backups\n"));
        QCOMPARE(window->outcomeField()->text(),
                 QString("The destination is now /srv/new backups."));

        exitWith(126);
        window->setAutoBackup(true);
        QTRY_VERIFY(!window->isRunning());
        QCOMPARE(read("arguments"), std::string("/usr/bin/tmutil enable\n"));
        QCOMPARE(window->outcomeField()->text(), QString("The change was not authorized."));

        exitWith(1);
        window->setAutoBackup(false);
        QTRY_VERIFY(!window->isRunning());
        QCOMPARE(read("arguments"), std::string("/usr/bin/tmutil disable\n"));
        QVERIFY(window->outcomeField()->text().startsWith("The change failed: "));

        // The window reads the preferences again after a change.
        preferences_->setValue("AutoBackup", plist::Value(true));
        exitWith(0);
        window->setAutoBackup(true);
        QTRY_VERIFY(!window->isRunning());
        QCOMPARE(window->autoBackupField()->text(), QString("On"));
    }
};

QTEST_MAIN(BackupEngineTest)
#include "BackupEngineTest.moc"

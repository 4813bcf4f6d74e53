#include <QObject>
#include <QTest>

// moc reads neither the product headers nor the helpers: the test class needs none.
#ifndef Q_MOC_RUN
#include "ConsoleTestSupport.h"
#include "application/console/KBEConsoleController.h"
#include "application/console/KBEConsoleLogText.h"
#include "application/console/KBEConsoleStyle.h"
#include "application/console/KBEConsoleTextView.h"
#include "application/console/KBERTFWriter.h"
#include "application/ui/KBEMainThreadQueue.h"
#include "common/VRNSystemVersionManager.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QFileDialog>
#include <QFontDatabase>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <map>
#include <memory>

namespace {

// One entry as the log tool prints it.
QByteArray entry(const char* subsystem, const char* timestamp, const char* type,
                 const char* message, const char* image) {
    return QStringLiteral(R"({"subsystem":"%1","timestamp":"%2","messageType":"%3",)"
                          R"("eventMessage":"%4","processImagePath":"%5"})")
        .arg(subsystem, timestamp, type, message, image)
        .toUtf8();
}

const char* const kDaemon = "/usr/libexec/keelbrook/com.vornhal.keelbrook.scheduler";
const char* const kEngine = "/usr/libexec/keelbrook/backupd";
const char* const kTime = "2026.12.08 10:15:30.123456+0100";
// kTime in the short date and medium time style of en_US, in UTC.
const QString kTimeText = QString::fromUtf8("12/8/26, 9:15:30\u202fAM");

// A recorded output: the product's programs at every level, the engine's lines (one about
// thermal pressure, in another case), an entry with a bad timestamp and one that is no
// object.
QByteArray recordedLog() {
    return "[\n" + entry("com.vornhal.keelbrook", kTime, "Default", "Backup started.", kDaemon) +
           ",\n" +
           entry("com.vornhal.keelbrook", kTime, "Error", "Backup failed.", "/usr/bin/kbectl") +
           ",\n" +
           entry("com.vornhal.keelbrook", kTime, "Debug", "Checking.", "/usr/bin/keelbrook") +
           ",\n" + entry("com.apple.TimeMachine", kTime, "Info", "Copying files", kEngine) + ",\n" +
           entry("com.apple.TimeMachine", kTime, "Default", "Thermal Pressure Level changed to 2",
                 kEngine) +
           ",\n" +
           entry("com.vornhal.keelbrook", "2026-12-08 10:15:30", "Default", "Odd time.", kDaemon) +
           ",\n 17\n]\n";
}

QColor colorAt(const QTextDocument& document, int position) {
    QTextCursor cursor(const_cast<QTextDocument*>(&document));
    cursor.setPosition(position + 1);
    return cursor.charFormat().foreground().color();
}

// A minimal RTF reader for what the console writes: the colour table and the text with
// the colour of each character (\cfN, 0 for the default).
struct ReadRTF {
    std::vector<QColor> colors{QColor()};
    QString text;
    std::vector<int> colorOfCharacter;

    explicit ReadRTF(const QByteArray& rtf) {
        int depth = 0;
        int color = 0;
        QString table; // the group being read: "fonttbl", "colortbl" or none
        int tableDepth = 0;
        for (qsizetype i = 0; i < rtf.size(); ++i) {
            const char c = rtf[i];
            if (c == '{') {
                ++depth;
            } else if (c == '}') {
                if (--depth < tableDepth) {
                    table.clear();
                    tableDepth = 0;
                }
            } else if (c == '\\') {
                const char next = rtf[i + 1];
                if (next == '\\' || next == '{' || next == '}') {
                    append(next, color, table);
                    ++i;
                    continue;
                }
                qsizetype end = i + 1;
                while (end < rtf.size() && std::isalpha(static_cast<unsigned char>(rtf[end]))) {
                    ++end;
                }
                const QByteArray word = rtf.mid(i + 1, end - i - 1);
                qsizetype numberEnd = end;
                while (numberEnd < rtf.size() &&
                       (rtf[numberEnd] == '-' || std::isdigit(rtf[numberEnd]))) {
                    ++numberEnd;
                }
                const int number = rtf.mid(end, numberEnd - end).toInt();
                i = numberEnd < rtf.size() && rtf[numberEnd] == ' ' ? numberEnd : numberEnd - 1;
                if (word == "fonttbl" || word == "colortbl") {
                    table = word;
                    tableDepth = depth;
                } else if (word == "red" && table == "colortbl") {
                    colors.emplace_back(number, 0, 0);
                } else if (word == "green" && table == "colortbl") {
                    colors.back().setGreen(number);
                } else if (word == "blue" && table == "colortbl") {
                    colors.back().setBlue(number);
                } else if (word == "cf") {
                    color = number;
                } else if (word == "par") {
                    append('\n', color, table);
                } else if (word == "tab") {
                    append('\t', color, table);
                } else if (word == "u") {
                    appendChar(QChar(static_cast<char16_t>(number)), color, table);
                    i += rtf[i + 1] == '?' ? 1 : 0;
                }
            } else if (c != '\n' && c != '\r') {
                append(c, color, table);
            }
        }
    }

private:
    void append(char c, int color, const QString& table) { appendChar(QChar(c), color, table); }
    void appendChar(QChar c, int color, const QString& table) {
        if (!table.isEmpty()) {
            return;
        }
        text += c;
        colorOfCharacter.push_back(color);
    }
};

} // namespace
#endif

class ConsoleTest : public QObject {
    Q_OBJECT

    std::unique_ptr<ConsoleInstallation> installation_;
    QObject context_;
    std::shared_ptr<KBEMainThreadQueue> mainQueue_;

    std::unique_ptr<KBEConsoleController> makeConsole(VRNOperatingSystemVersion version = {15, 0,
                                                                                           0}) {
        auto console = std::make_unique<KBEConsoleController>(
            std::make_shared<VRNSystemVersionManager>(version), mainQueue_,
            dispatch::globalQueue());
        return console;
    }

    // Refreshes and waits until the result is shown.
    static bool refreshed(KBEConsoleController& console) {
        console.refresh();
        if (console.refreshButton()->isEnabled() || console.exportButton()->isEnabled() ||
            console.spinningIndicator()->isHidden()) {
            return false;
        }
        return QTest::qWaitFor([&] { return console.refreshButton()->isEnabled(); }, 10000) &&
               console.exportButton()->isEnabled() && console.spinningIndicator()->isHidden();
    }

private slots:
    void initTestCase() {
        installation_ = std::make_unique<ConsoleInstallation>();
        mainQueue_ = KBEMainThreadQueue::create(&context_);
    }

    void unifiedLogShowsColouredLinesWithTheirSources() {
        installation_->setOutput(recordedLog());
        auto console = makeConsole();
        console->show();
        QVERIFY(refreshed(*console));

        QCOMPARE(installation_->lastArguments(),
                 QString("show\n--debug\n--info\n--predicate\n"
                         "(subsystem == \"com.vornhal.keelbrook\") || ((subsystem == "
                         "\"com.apple.TimeMachine\") && (processImagePath endswith \"backupd\"))\n"
                         "--style\njson\n"));
        const QTextDocument& document = *console->textView()->document();
        const QString scheduler = QString::fromUtf8("Keelbrook\u00a0Scheduler");
        QCOMPARE(KBEConsolePlainText(document),
                 kTimeText + " " + scheduler + " Backup started.\n" + kTimeText +
                     " kbectl Backup failed.\n" + kTimeText + " keelbrook Checking.\n" + kTimeText +
                     " Time Machine Copying files\n??? " + scheduler + " Odd time.\n");

        const KBEConsoleStyle style = KBEConsoleStyle::forPalette(
            console->palette(), QFontDatabase::systemFont(QFontDatabase::FixedFont),
            VRNSystemVersionManager({15, 0, 0}));
        // Per line: the time, the source and the message's level colour.
        const std::vector<QColor> levels{style.green, style.red, style.orange, style.plain,
                                         style.green};
        QTextBlock line = document.begin();
        for (const QColor& level : levels) {
            const int start = line.position();
            QCOMPARE(colorAt(document, start), style.plain);
            const int source = line.text().startsWith("???") ? 4 : kTimeText.size() + 1;
            QCOMPARE(colorAt(document, start + source), style.blue);
            QCOMPARE(colorAt(document, start + line.length() - 2), level);
            QTextCursor cursor(const_cast<QTextDocument*>(&document));
            cursor.setPosition(start + 1);
            QCOMPARE(cursor.charFormat().font().family(), style.font.family());
            QCOMPARE(cursor.charFormat().font().pointSizeF(), style.font.pointSizeF());
            line = line.next();
        }
        QCOMPARE(style.red, QColor::fromRgbF(0.96f, 0, 0));
        QCOMPARE(style.green, QColor::fromRgbF(0, 0.58f, 0));
        QCOMPARE(style.orange, QColor::fromRgbF(0.81f, 0.41f, 0));
        QCOMPARE(style.blue, console->palette().color(QPalette::Link));
        // Before 10.14 blue is the classic one.
        QCOMPARE(KBEConsoleStyle::forPalette(console->palette(), style.font,
                                             VRNSystemVersionManager({10, 13, 6}))
                     .blue,
                 QColor(0, 0, 255));
    }

    // A selected line keeps its runs' colours; only its background changes.
    void selectedTextKeepsItsColours() {
        installation_->setOutput(recordedLog());
        auto console = makeConsole();
        console->show();
        QVERIFY(QTest::qWaitForWindowExposed(console.get()));
        console->windowDidLoad();
        QTRY_VERIFY(console->refreshButton()->isEnabled());
        KBEConsoleTextView& view = *console->textView();
        const QTextBlock first = view.document()->begin();
        QTextCursor selection(first);
        selection.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
        view.setTextCursor(selection);
        view.verticalScrollBar()->setValue(0);
        const QRect line =
            view.document()->documentLayout()->blockBoundingRect(first).toAlignedRect();
        const QImage picture = view.viewport()->grab(line).toImage();
        int green = 0;
        int background = 0;
        for (int y = 0; y < picture.height(); ++y) {
            for (int x = 0; x < picture.width(); ++x) {
                const QColor pixel = picture.pixelColor(x, y);
                green += pixel.green() > pixel.red() + 60 && pixel.green() > pixel.blue() + 60;
                background += pixel.rgb() == view.selectionBackground().rgb();
            }
        }
        QVERIFY2(green > 0, "the message's green is gone from the selected line");
        QVERIFY(background > picture.width());
    }

    void aLongLogIsScrolledToItsEnd() {
        QByteArray log = "[";
        for (int i = 0; i < 200; ++i) {
            log +=
                (i ? "," : "") + entry("com.vornhal.keelbrook", kTime, "Default", "Line.", kDaemon);
        }
        installation_->setOutput(log + "]");
        auto console = makeConsole();
        console->show();
        QVERIFY(refreshed(*console));
        const QScrollBar* scroller = console->textView()->verticalScrollBar();
        QVERIFY(scroller->maximum() > 0);
        QCOMPARE(scroller->value(), scroller->maximum());
    }

    // Output that is no JSON array, or no output at all, leaves the view empty, logs the
    // parser's complaint, and enables the buttons again.
    void unreadableOutputEmptiesTheView() {
        auto console = makeConsole();
        installation_->setOutput(recordedLog());
        QVERIFY(refreshed(*console));
        QVERIFY(!console->textView()->document()->isEmpty());

        installation_->setOutput("[{\"subsystem\": \"com.vornhal.keelbrook\", \"timest");
        QVERIFY(refreshed(*console));
        QVERIFY(console->textView()->document()->isEmpty());
        const QString log = installation_->applicationLog();
        QVERIFY2(log.contains(QRegularExpression(
                     R"(application\[\d+\] Failed to read logs\. .*parse error)")),
                 qPrintable(log));

        installation_->setOutput(recordedLog());
        QVERIFY(refreshed(*console));
        installation_->setOutput("{\"not\": \"an array\"}");
        QVERIFY(refreshed(*console));
        QVERIFY(console->textView()->document()->isEmpty());
        QVERIFY(installation_->applicationLog().contains(
            "Failed to read logs. The log is not an array of entries."));
    }

    // Before 10.12 only the engine worker's records appear, plain, each backup after an
    // empty line; a message over several lines stays whole.
    void legacyRecordsShowTheEnginesMessagesOnly() {
        installation_->setOutput(
            "Dec 08 10:15:30 host backupd[12] <Default>: Starting automatic backup\n"
            "Dec 08 10:15:31 host com.vornhal.keelbrook.scheduler[3] <Default>: Backup started.\n"
            "Dec 08 10:15:32 host backupd[12] <Default>: Copied 3 files\n"
            "and 2 folders\n"
            "Dec 08 10:16:00 localhost backupd <Error>: Starting manual backup\n"
            "Dec 08 10:16:01 host kbectl[4] <Default>: Done.\n"
            "continued\n");
        auto console = makeConsole({10, 11, 6});
        QVERIFY(refreshed(*console));
        QCOMPARE(installation_->lastArguments(), QString("-k\nFacility\ncom.apple.TimeMachine\n"));
        const QTextDocument& document = *console->textView()->document();
        // The year comes from today's date; the year's own rule is tested below.
        QString text = KBEConsolePlainText(document);
        text.replace(QRegularExpression(QString::fromUtf8("12/8/\\d\\d, (\\S+)\u202fAM: ")),
                     "<\\1> ");
        QCOMPARE(text, QString("<10:15:30> Starting automatic backup\n<10:15:32> Copied 3 files\n"
                               "and 2 folders\n\n<10:16:00> Starting manual backup\n"));
        for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
            for (auto run = block.begin(); !run.atEnd(); ++run) {
                QVERIFY(!run.fragment().charFormat().hasProperty(QTextFormat::ForegroundBrush));
            }
        }
    }

    // Legacy lines carry no year: the latest one that puts the record at most a day after now.
    void legacyRecordsTakeTheLatestPlausibleYear() {
        const cal::Date newYear = cal::dateFromUnixTime(1798761600); // 2027-01-01 00:00 UTC
        const auto text = KBEConsoleTextForLegacyRecords("Dec 31 23:59:59 h backupd <Default>: a\n"
                                                         "Jan 01 12:00:00 h backupd <Default>: b\n"
                                                         "Jan 03 00:00:00 h backupd <Default>: c\n"
                                                         "not a record of its own\n",
                                                         newYear);
        const QString expected = QString::fromUtf8("12/31/26, 11:59:59\u202fPM: a\n"
                                                   "1/1/27, 12:00:00\u202fPM: b\n"
                                                   "1/3/26, 12:00:00\u202fAM: c\n"
                                                   "not a record of its own\n");
        QCOMPARE(text->toPlainText(), expected);
    }

    void exportWritesRichTextAndPlainTextAtomically() {
        installation_->setOutput(recordedLog());
        auto console = makeConsole();
        QVERIFY(refreshed(*console));
        const QTextDocument& document = *console->textView()->document();
        const QString expectedText = KBEConsolePlainText(document);

        // Plain text, exact, replacing an older export.
        const QString textPath = installation_->path("Keelbrook Log.txt");
        ConsoleInstallation::write(textPath, "an older export that is longer than nothing\n");
        QVERIFY(console->exportToFile(textPath));
        QCOMPARE(ConsoleInstallation::read(textPath), expectedText);
        QVERIFY(expectedText.contains(QChar(0x00a0)));

        // RTF: the same text back, and the runs' colours from the colour table.
        const QString rtfPath = installation_->path("Keelbrook Log.rtf");
        QVERIFY(console->exportToFile(rtfPath));
        QFile rtfFile(rtfPath);
        QVERIFY(rtfFile.open(QIODevice::ReadOnly));
        const QByteArray rtf = rtfFile.readAll();
        QVERIFY(rtf.startsWith("{\\rtf1"));
        const ReadRTF read(rtf);
        QCOMPARE(read.text, expectedText);
        QCOMPARE(int(read.colorOfCharacter.size()), int(expectedText.size()));
        for (int i = 0; i < expectedText.size(); ++i) {
            if (expectedText[i] == '\n') {
                continue;
            }
            const int index = read.colorOfCharacter[i];
            QVERIFY(index > 0 && index < int(read.colors.size()));
            QCOMPARE(read.colors[index].rgba(), colorAt(document, i).rgba());
        }
        // Nothing but the two exports is left in the folder (no temporaries).
        const QStringList left = QDir(installation_->path("")).entryList({"Keelbrook Log*"});
        QCOMPARE(left, QStringList({"Keelbrook Log.rtf", "Keelbrook Log.txt"}));
    }

    // Characters RTF reserves, and text outside ASCII and outside the basic plane.
    void richTextEscapesWhatItMust() {
        QTextDocument document;
        QTextCursor cursor(&document);
        QTextCharFormat red;
        red.setForeground(QColor(245, 0, 0));
        const QString text =
            QString::fromUtf8("{braces} back\\slash \u00e9t\u00e9 \U0001F600\tend\n");
        cursor.insertText(text, red);
        cursor.insertText("plain", QTextCharFormat());
        const ReadRTF read(QByteArray::fromStdString(KBERTFDataForDocument(document)));
        QCOMPARE(read.text, text + "plain");
        QCOMPARE(read.colors.size(), std::size_t(2));
        QCOMPARE(read.colors[1], QColor(245, 0, 0));
        QCOMPARE(read.colorOfCharacter.front(), 1);
        QCOMPARE(read.colorOfCharacter.back(), 0);
    }

    void aFailedExportShowsASheetAndKeepsTheWindow() {
        installation_->setOutput(recordedLog());
        auto console = makeConsole();
        console->show();
        QVERIFY(refreshed(*console));
        const QString before = KBEConsolePlainText(*console->textView()->document());
        QVERIFY(!console->exportToFile(installation_->path("missing/folder/Log.txt")));
        auto* sheet = console->findChild<QMessageBox*>();
        QVERIFY(sheet);
        QCOMPARE(sheet->windowModality(), Qt::WindowModal);
        QTRY_VERIFY(sheet->isVisible());
        QCOMPARE(sheet->text(), QString::fromUtf8("The document “Log.txt” could not be saved."));
        QVERIFY2(sheet->informativeText().contains("No such file or directory"),
                 qPrintable(sheet->informativeText()));
        QCOMPARE(KBEConsolePlainText(*console->textView()->document()), before);
        QVERIFY(!QFileInfo::exists(installation_->path("missing")));
        sheet->accept();
    }

    // The save panel is a sheet proposing "Keelbrook Log" as RTF or text; confirming it
    // writes the chosen file.
    void theSavePanelExportsTheChosenFile() {
        installation_->setOutput(recordedLog());
        auto console = makeConsole();
        console->show();
        QVERIFY(refreshed(*console));
        console->exportButton()->click();
        auto* panel = console->findChild<QFileDialog*>();
        QVERIFY(panel);
        QCOMPARE(panel->windowModality(), Qt::WindowModal);
        QCOMPARE(panel->nameFilters(), QStringList({"Rich Text (*.rtf)", "Plain Text (*.txt)"}));
        QCOMPARE(panel->acceptMode(), QFileDialog::AcceptSave);
        QCOMPARE(panel->selectedFiles().value(0).section('/', -1), QString("Keelbrook Log.rtf"));
        panel->selectNameFilter("Plain Text (*.txt)");
        emit panel->filterSelected("Plain Text (*.txt)");
        QCOMPARE(panel->defaultSuffix(), QString("txt"));
        panel->setDirectory(installation_->path(""));
        panel->selectFile(installation_->path("chosen.txt"));
        static_cast<QDialog*>(panel)->accept();
        QCOMPARE(ConsoleInstallation::read(installation_->path("chosen.txt")),
                 KBEConsolePlainText(*console->textView()->document()));

        // Another extension is not one of the two types: the chosen type's is added.
        QTRY_VERIFY(!console->findChild<QFileDialog*>()); // the panel closes for good
        console->exportButton()->click();
        panel = console->findChild<QFileDialog*>();
        QVERIFY(panel);
        panel->setDirectory(installation_->path(""));
        panel->selectFile(installation_->path("chosen.log"));
        static_cast<QDialog*>(panel)->accept();
        QVERIFY(
            ConsoleInstallation::read(installation_->path("chosen.log.rtf")).startsWith("{\\rtf1"));
        QVERIFY(!QFileInfo::exists(installation_->path("chosen.log")));
    }
};

QTEST_MAIN(ConsoleTest)
#include "ConsoleTest.moc"

#include "application/ui/KBEMainThreadQueue.h"
#include "application/ui/VRNRichText.h"

#include <QApplication>
#include <QTest>
#include <QTextDocument>
#include <thread>
#include <vector>

class MainThreadQueueTest : public QObject {
    Q_OBJECT

private slots:
    // Items from several threads run on the user-interface thread, each thread's in order.
    void itemsRunOnTheInterfaceThreadInOrder() {
        QObject context;
        const auto queue = KBEMainThreadQueue::create(&context);
        const auto interfaceThread = std::this_thread::get_id();
        std::vector<int> seen;
        bool allOnInterfaceThread = true;
        bool wasCurrent = true;
        std::vector<std::thread> posters;
        for (int t = 0; t < 4; ++t) {
            posters.emplace_back([&, t] {
                for (int i = 0; i < 100; ++i) {
                    queue->async([&, value = t * 1000 + i] {
                        allOnInterfaceThread &= std::this_thread::get_id() == interfaceThread;
                        wasCurrent &= queue->isCurrent();
                        seen.push_back(value);
                    });
                }
            });
        }
        for (auto& poster : posters) {
            poster.join();
        }
        QTRY_COMPARE(seen.size(), std::size_t(400));
        QVERIFY(allOnInterfaceThread);
        QVERIFY(wasCurrent);
        QVERIFY(!queue->isCurrent());
        std::vector<int> last(4, -1);
        for (int value : seen) {
            QVERIFY(value % 1000 > last[value / 1000]);
            last[value / 1000] = value % 1000;
        }
    }

    void itemsAfterTheContextIsGoneAreDropped() {
        auto context = std::make_unique<QObject>();
        const auto queue = KBEMainThreadQueue::create(context.get());
        bool ran = false;
        queue->async([&] { ran = true; });
        context.reset();
        queue->async([&] { ran = true; });
        QCoreApplication::processEvents();
        QVERIFY(!ran);
    }

    void richTextAppendsFormattedRuns() {
        QTextDocument document;
        QTextCursor cursor(&document);
        QTextCharFormat red;
        red.setForeground(Qt::red);
        VRNAppendString(cursor, "Backup ", QTextCharFormat());
        const bool appended =
            VRNAppendAttributes<int, std::string>(cursor, red, "%d %s\n", 3, "failed");
        QVERIFY(appended);
        const bool mismatched =
            VRNAppendAttributes<std::string>(cursor, red, VRNRuntimeFormat("%d"), "x");
        QVERIFY(!mismatched);
        QCOMPARE(document.toPlainText(), QString("Backup 3 failed\n"));
        QTextCursor probe(&document);
        probe.setPosition(9);
        QCOMPARE(probe.charFormat().foreground().color(), QColor(Qt::red));
    }
};

QTEST_MAIN(MainThreadQueueTest)
#include "MainThreadQueueTest.moc"

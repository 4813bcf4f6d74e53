#include "application/editors/KBECalendarIntervalViewController.h"
#include "application/editors/KBEIntervalViewController.h"
#include "application/ui/VRNStackView.h"

#include <QApplication>
#include <QDir>
#include <QTest>
#include <QVBoxLayout>

using plist::Dictionary;
using plist::Value;

namespace {

const VRNSystemVersionManager kVersion({15, 0, 0});

// Every visible control lies wholly inside the window and has at least its minimum size:
// nothing is cut off.
bool nothingClipped(QWidget* window, QString* offender) {
    const QRect bounds = window->rect();
    for (QWidget* child : window->findChildren<QWidget*>()) {
        if (!child->isVisible()) {
            continue;
        }
        const QRect inWindow(child->mapTo(window, QPoint(0, 0)), child->size());
        // As layouts do: a minimum size set on the widget overrides its style's hint.
        const QSize hint = child->minimumSizeHint();
        const QSize minimum(child->minimumWidth() > 0 ? child->minimumWidth() : hint.width(),
                            child->minimumHeight() > 0 ? child->minimumHeight() : hint.height());
        if (!bounds.contains(inWindow) || child->width() < minimum.width() ||
            child->height() < minimum.height()) {
            *offender = QString("%1 %2 at (%3,%4) %5x%6")
                            .arg(child->metaObject()->className(), child->objectName())
                            .arg(inWindow.x())
                            .arg(inWindow.y())
                            .arg(inWindow.width())
                            .arg(inWindow.height());
            return false;
        }
    }
    return true;
}

} // namespace

// Saves pictures of the schedule editors as the editor window shows them (inside a vertical
// stack in a window) for a person to look at.
class EditorScreenshots : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(QDir().mkpath(KBE_SCREENSHOT_DIR)); }

    void intervalEditor() {
        KBEIntervalViewController editor;
        editor.setSettings(Value(Dictionary{{"Hours", 36}}));
        save(editor.view(), "interval-editor.png");
    }

    void calendarEditorWithThreeRows() {
        KBECalendarIntervalViewController editor(kVersion);
        editor.setSettings(Value(Dictionary{
            {"Intervals", plist::Array{Dictionary{{"Hour", 9}, {"Minute", 30}},
                                       Dictionary{{"Weekday", 1}, {"Hour", 12}, {"Minute", 0}},
                                       Dictionary{{"Weekday", 7}, {"Hour", 23}, {"Minute", 59}}}},
            {"ASAP", true}}));
        save(editor.view(), "calendar-editor.png");
        QCOMPARE(editor.ruleEditor()->numberOfRows(), 3);
    }

private:
    void save(QWidget* editorView, const char* file) {
        QWidget window;
        auto* layout = new QVBoxLayout(&window);
        layout->setContentsMargins(20, 20, 20, 20);
        auto* stack = new VRNStackView;
        stack->setOrientation(VRNStackView::kVertical);
        stack->setViews({editorView});
        layout->addWidget(stack);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.resize(window.sizeHint());
        QTest::qWait(50);
        const QString path = QDir(KBE_SCREENSHOT_DIR).filePath(file);
        QVERIFY(window.grab().save(path));
        qInfo("saved %s (%dx%d, platform %s)", qPrintable(path), window.width(), window.height(),
              qPrintable(QGuiApplication::platformName()));
        QString offender;
        QVERIFY2(nothingClipped(&window, &offender), qPrintable(offender));
        // The view belongs to the editor, which outlives this window.
        stack->setViews({});
    }
};

QTEST_MAIN(EditorScreenshots)
#include "EditorScreenshots.moc"

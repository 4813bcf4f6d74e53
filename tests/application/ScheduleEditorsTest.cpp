#include "application/editors/KBECalendarIntervalViewController.h"
#include "application/editors/KBEIntervalViewController.h"
#include "application/editors/KBENumberTextField.h"
#include "application/editors/KBEStepper.h"
#include "application/editors/KBEWhenInactiveViewController.h"
#include "application/ui/KBEDatePicker.h"
#include "platform/dispatch/VirtualClock.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QTest>
#include <QToolButton>

using plist::Array;
using plist::Dictionary;
using plist::Value;

namespace {

const VRNSystemVersionManager kVersion({15, 0, 0});

QByteArray describe(const std::optional<Value>& value) {
    return QByteArray::fromStdString(plist::description(value));
}

Value interval(long long hour, long long minute) {
    return Dictionary{{"Hour", hour}, {"Minute", minute}};
}

Value interval(long long weekday, long long hour, long long minute) {
    return Dictionary{{"Weekday", weekday}, {"Hour", hour}, {"Minute", minute}};
}

Value calendar(Array intervals, bool asap) {
    return Dictionary{{"Intervals", std::move(intervals)}, {"ASAP", asap}};
}

QComboBox* dayPopup(const KBECalendarIntervalViewController& editor, int row) {
    return static_cast<QComboBox*>(editor.ruleEditor()->displayValuesForRow(row)[1]);
}

KBEDatePicker* timePicker(const KBECalendarIntervalViewController& editor, int row) {
    return static_cast<KBEDatePicker*>(editor.ruleEditor()->displayValuesForRow(row)[3]);
}

} // namespace

class ScheduleEditorsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // Local time is UTC and "now" is the virtual clock's 2026-12-08 03:00:00, so a new
        // row's picker shows 03:00.
        qputenv("TZ", "UTC");
        dispatch::VirtualClock::install();
    }

    void intervalValuesRoundTrip() {
        struct Case {
            std::optional<Value> in;
            int mode;
            QString shown;
            Value out;
        };
        const Case cases[] = {
            {Dictionary{{"Minutes", 90}}, 0, "90", Dictionary{{"Minutes", 90}}},
            {Dictionary{{"Minutes", 60}}, 0, "60", Dictionary{{"Hours", 1}}},
            {Dictionary{{"Minutes", 120}}, 0, "120", Dictionary{{"Hours", 2}}},
            {Dictionary{{"Hours", 24}}, 1, "24", Dictionary{{"Days", 1}}},
            {Dictionary{{"Hours", 48}}, 1, "48", Dictionary{{"Days", 2}}},
            {Dictionary{{"Hours", 36}}, 1, "36", Dictionary{{"Hours", 36}}},
            {Dictionary{{"Days", 14}}, 2, "14", Dictionary{{"Days", 14}}},
            {Dictionary{{"Weeks", 3}}, 3, "3", Dictionary{{"Weeks", 3}}},
            // The largest unit present wins.
            {Dictionary{{"Weeks", 2}, {"Days", 5}, {"Minutes", 7}}, 3, "2",
             Dictionary{{"Weeks", 2}}},
            // Missing, zero, negative and too large counts are clamped.
            {Dictionary{}, 0, "1", Dictionary{{"Minutes", 1}}},
            {std::nullopt, 0, "1", Dictionary{{"Minutes", 1}}},
            {Dictionary{{"Hours", 0}}, 1, "1", Dictionary{{"Hours", 1}}},
            {Dictionary{{"Minutes", -5}}, 0, "1", Dictionary{{"Minutes", 1}}},
            {Dictionary{{"Days", 5000}}, 2, "999", Dictionary{{"Days", 999}}},
            {Value("not a dictionary"), 0, "1", Dictionary{{"Minutes", 1}}},
        };
        KBEIntervalViewController editor;
        editor.view();
        for (const Case& c : cases) {
            editor.setSettings(c.in);
            const QByteArray context = "in: " + describe(c.in);
            QVERIFY2(editor.unitsPopup()->currentIndex() == c.mode, context);
            QVERIFY2(editor.intervalTextField()->text() == c.shown, context);
            QVERIFY2(editor.stepper()->value() == c.shown.toInt(), context);
            QVERIFY2(editor.settings() == c.out, context + " out: " + describe(editor.settings()));
        }
    }

    void calendarValuesRoundTrip() {
        struct Case {
            std::optional<Value> in;
            Value out;
        };
        const Case cases[] = {
            {calendar({interval(9, 30), interval(1, 12, 0), interval(7, 23, 59)}, true),
             calendar({interval(9, 30), interval(1, 12, 0), interval(7, 23, 59)}, true)},
            // Weekday 0 is Sunday, written back as 7.
            {calendar({interval(0, 8, 15)}, false), calendar({interval(7, 8, 15)}, false)},
            // A day of the month and a minute alone cannot be shown and are dropped; a
            // weekday alone is midnight of that day.
            {calendar({Dictionary{{"Day", 3}, {"Hour", 1}, {"Minute", 2}}, interval(4, 5),
                       Dictionary{{"Minute", 30}}, Dictionary{{"Weekday", 2}}},
                      false),
             calendar({interval(4, 5), interval(2, 0, 0)}, false)},
            // Hour without minute; an out-of-range time carries over like a calendar does.
            {calendar({Dictionary{{"Hour", 6}}, interval(25, 70)}, false),
             calendar({interval(6, 0), interval(2, 10)}, false)},
            // A weekday no item stands for is not shown either.
            {calendar({interval(9, 1, 0), interval(6, 1, 0)}, false),
             calendar({interval(6, 1, 0)}, false)},
            // Nothing to show: one row, every day at the current time.
            {calendar({}, true), calendar({interval(3, 0)}, true)},
            {Dictionary{}, calendar({interval(3, 0)}, false)},
            {std::nullopt, calendar({interval(3, 0)}, false)},
        };
        KBECalendarIntervalViewController editor(kVersion);
        editor.view();
        for (const Case& c : cases) {
            editor.setSettings(c.in);
            QVERIFY2(editor.settings() == c.out,
                     "in: " + describe(c.in) + " out: " + describe(editor.settings()));
        }
    }

    // An editor whose view was never built gives back what it was loaded with, unchanged,
    // and shows that value once its view is built.
    void editorsWithoutViewsKeepTheirValue() {
        KBEIntervalViewController intervalEditor;
        const Value weird = Dictionary{{"Minutes", 120}, {"Extra", "kept"}};
        QVERIFY(!intervalEditor.settings());
        intervalEditor.setSettings(weird);
        QCOMPARE(describe(intervalEditor.settings()), describe(weird));
        QVERIFY(!intervalEditor.isViewLoaded());
        intervalEditor.view();
        QCOMPARE(intervalEditor.intervalTextField()->text(), QString("120"));
        QVERIFY(intervalEditor.settings() == Value(Dictionary{{"Hours", 2}}));

        KBECalendarIntervalViewController calendarEditor(kVersion);
        const Value withDay = calendar({Dictionary{{"Day", 1}, {"Hour", 1}}}, true);
        calendarEditor.setSettings(withDay);
        QVERIFY(calendarEditor.settings() == withDay);
        calendarEditor.view();
        QCOMPARE(calendarEditor.ruleEditor()->numberOfRows(), 1);
        QVERIFY(calendarEditor.backupASAPCheckbox()->isChecked());

        KBEWhenInactiveViewController inactive;
        inactive.setSettings(Value(Dictionary{{"Anything", 1}}));
        QVERIFY(inactive.settings() == Value(Dictionary{}));
        inactive.view();
        QVERIFY(inactive.settings() == Value(Dictionary{}));
        QCOMPARE(inactive.name(), std::string("WhenInactive"));
    }

    void numberFieldTakesDigitsOnly() {
        KBEIntervalViewController editor;
        editor.setSettings(Value(Dictionary{{"Minutes", 5}}));
        QWidget* view = editor.view();
        view->show();
        KBENumberTextField* field = editor.intervalTextField();

        field->selectAll();
        QTest::keyClicks(field, "1000");
        QCOMPARE(field->text(), QString("100"));
        QTest::keyClicks(field, "x-");
        QCOMPARE(field->text(), QString("100"));

        // Pasting goes through the whole edit: "12a" is refused whole, "42" accepted.
        field->selectAll();
        QApplication::clipboard()->setText("12a");
        QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(field->text(), QString("100"));
        QApplication::clipboard()->setText("42");
        QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(field->text(), QString("42"));
        QCOMPARE(editor.stepper()->value(), 42);
        QApplication::clipboard()->setText("1234");
        field->selectAll();
        QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(field->text(), QString("42"));

        // Deleting everything is allowed while typing; the value reads as 1.
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Backspace);
        QCOMPARE(field->text(), QString());
        QCOMPARE(editor.intervalValue(), 1);
        QVERIFY(editor.settings() == Value(Dictionary{{"Minutes", 1}}));
    }

    void arrowKeysStepperAndTitles() {
        KBEIntervalViewController editor;
        editor.setSettings(Value(Dictionary{{"Hours", 998}}));
        editor.view()->show();
        KBENumberTextField* field = editor.intervalTextField();
        QComboBox* units = editor.unitsPopup();

        QTest::keyClick(field, Qt::Key_Up);
        QCOMPARE(field->text(), QString("999"));
        QTest::keyClick(field, Qt::Key_Up);
        QCOMPARE(field->text(), QString("999"));
        QTest::keyClick(field, Qt::Key_Down);
        QCOMPARE(field->text(), QString("998"));
        QCOMPARE(editor.stepper()->value(), 998);

        field->selectAll();
        QTest::keyClicks(field, "1");
        QCOMPARE(editor.stepper()->value(), 1);
        QCOMPARE(units->itemText(0), QString("minute"));
        QCOMPARE(units->itemText(3), QString("week"));
        QTest::keyClick(field, Qt::Key_Down);
        QCOMPARE(field->text(), QString("1"));
        QTest::keyClick(field, Qt::Key_Up);
        QCOMPARE(units->itemText(1), QString("hours"));
        QCOMPARE(units->itemText(2), QString("days"));

        // The stepper's arrows move the value within the same bounds.
        editor.setIntervalValue(999);
        editor.stepper()->upButton()->click();
        QCOMPARE(field->text(), QString("999"));
        editor.stepper()->downButton()->click();
        QCOMPARE(field->text(), QString("998"));

        QCOMPARE(editor.labelTextField()->text(), QString("Back up every"));
        units->setCurrentIndex(3);
        QCOMPARE(editor.intervalMode(), 3);
        QVERIFY(editor.settings() == Value(Dictionary{{"Weeks", 998}}));
    }

    void ruleEditorRows() {
        KBECalendarIntervalViewController editor(kVersion);
        editor.setSettings(
            calendar({interval(1, 10, 0), interval(2, 11, 0), interval(3, 12, 0)}, false));
        editor.view()->show();
        KBERuleEditor* rules = editor.ruleEditor();
        QCOMPARE(rules->numberOfRows(), 3);

        // Every row shows the chain: "Back up", the day pop-up, "at", the picker.
        const QList<QWidget*> items = rules->displayValuesForRow(0);
        QCOMPARE(items.size(), 4);
        QCOMPARE(static_cast<QLabel*>(items[0])->text(), QString("Back up"));
        QCOMPARE(static_cast<QLabel*>(items[2])->text(), QString("at"));
        QComboBox* days = dayPopup(editor, 0);
        QCOMPARE(days->count(), 9);
        QCOMPARE(days->itemText(0), QString("Every Day"));
        QVERIFY(days->itemData(1, Qt::AccessibleDescriptionRole).toString() == "separator");
        QCOMPARE(days->itemText(2), QString("Monday"));
        QCOMPARE(days->itemText(8), QString("Sunday"));
        QCOMPARE(timePicker(editor, 0)->displayFormat(), QString("HH:mm"));

        // Add puts a default row below its own; remove takes its own row.
        rules->addButtonForRow(0)->click();
        QCOMPARE(rules->numberOfRows(), 4);
        QCOMPARE(dayPopup(editor, 1)->currentIndex(), 0);
        QCOMPARE(timePicker(editor, 1)->time(), QTime(3, 0));
        dayPopup(editor, 1)->setCurrentIndex(8);
        timePicker(editor, 1)->setTime(QTime(18, 45));
        rules->removeButtonForRow(2)->click();
        QVERIFY(editor.settings() ==
                calendar({interval(1, 10, 0), interval(7, 18, 45), interval(3, 12, 0)}, false));

        // The last row stays: without it there would be no add button left.
        rules->removeButtonForRow(0)->click();
        rules->removeButtonForRow(0)->click();
        QCOMPARE(rules->numberOfRows(), 1);
        QVERIFY(!rules->removeButtonForRow(0)->isEnabled());
        rules->removeButtonForRow(0)->click();
        QCOMPARE(rules->numberOfRows(), 1);
        rules->addButtonForRow(0)->click();
        QVERIFY(rules->removeButtonForRow(0)->isEnabled());

        editor.backupASAPCheckbox()->click();
        QVERIFY(editor.settings() == calendar({interval(3, 12, 0), interval(3, 0)}, true));
    }
};

QTEST_MAIN(ScheduleEditorsTest)
#include "ScheduleEditorsTest.moc"

#include "application/ui/KBEDatePicker.h"
#include "application/ui/VRNButtonLinkCell.h"
#include "application/ui/VRNStackView.h"
#include "common/VRNSystemVersionManager.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace {

int bottomOf(const QWidget* view) {
    return view->y() + view->height();
}

int rightOf(const QWidget* view) {
    return view->x() + view->width();
}

} // namespace

class LayoutViewsTest : public QObject {
    Q_OBJECT

private slots:
    void verticalStackInsetsEachViewAndSpacesThemBy8() {
        VRNStackView stack;
        stack.setOrientation(VRNStackView::kVertical);
        auto* plain = new QWidget;
        plain->setFixedHeight(20);
        auto* checkbox = new QCheckBox("Allow battery");
        auto* field = new QLineEdit;
        auto* button = new QPushButton("Fixed");
        button->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        stack.setViews({plain, checkbox, field, button});
        stack.resize(400, stack.sizeHint().height() + 30);
        stack.show();
        QVERIFY(QTest::qWaitForWindowExposed(&stack));

        QCOMPARE(VRNStackView::marginForView(plain), 0);
        QCOMPARE(VRNStackView::marginForView(checkbox), 2);
        // A plain widget touches the top and both sides; controls are inset by 2 points.
        QCOMPARE(plain->geometry(), QRect(0, 0, 400, 20));
        QCOMPARE(checkbox->y(), bottomOf(plain) + 8);
        QCOMPARE(checkbox->x(), 2);
        QCOMPARE(rightOf(checkbox), 398);
        QCOMPARE(field->y(), bottomOf(checkbox) + 8);
        QCOMPARE(field->x(), 2);
        QCOMPARE(rightOf(field), 398);
        // A view that cannot grow keeps its size at the leading edge.
        QCOMPARE(button->y(), bottomOf(field) + 8);
        QCOMPARE(button->x(), 2);
        QCOMPARE(button->width(), button->sizeHint().width());
        // At its natural height the last view sits its margin above the bottom.
        stack.resize(400, stack.sizeHint().height());
        QTRY_COMPARE(bottomOf(button), stack.height() - 2);
        QCOMPARE(stack.minimumSizeHint().width(),
                 std::max({checkbox->minimumSizeHint().width(), field->minimumSizeHint().width(),
                           button->sizeHint().width()}) +
                     4);
    }

    void replacingViewsKeepsOnlyTheNewOnesInOrder() {
        VRNStackView stack;
        stack.setOrientation(VRNStackView::kVertical);
        auto first = std::make_unique<QLabel>("first");
        auto second = std::make_unique<QLabel>("second");
        auto third = std::make_unique<QLabel>("third");
        stack.setViews({first.get(), second.get()});
        stack.show();
        stack.setViews({third.get(), first.get()});
        QCOMPARE(stack.views(), (QList<QWidget*>{third.get(), first.get()}));
        QCOMPARE(second->parentWidget(), nullptr);
        QVERIFY(second->isHidden());
        QCOMPARE(first->parentWidget(), &stack);
        stack.resize(stack.sizeHint());
        QTRY_VERIFY(first->y() == bottomOf(third.get()) + 8);
        QCOMPARE(third->y(), 2);
        // The stack no longer owns what it gave back; these are freed by their owners.
        stack.setViews({});
        QCOMPARE(stack.sizeHint().height(), 0);
    }

    void horizontalStackTouchesItsEndsAndKeepsViewsInside() {
        VRNStackView stack;
        auto* label = new QLabel("Suspend between");
        auto* from = new KBEDatePicker(VRNSystemVersionManager({15, 0, 0}));
        auto* tall = new QWidget;
        tall->setFixedSize(30, 60);
        stack.setViews({label, from, tall});
        stack.resize(stack.sizeHint());
        stack.show();
        QVERIFY(QTest::qWaitForWindowExposed(&stack));

        QCOMPARE(label->x(), 0);
        QCOMPARE(from->x(), rightOf(label) + 8);
        QCOMPARE(tall->x(), rightOf(from) + 8);
        QCOMPARE(rightOf(tall), stack.width());
        QCOMPARE(stack.height(), 60);
        for (QWidget* view : stack.views()) {
            QVERIFY(view->y() >= 0);
            QVERIFY(bottomOf(view) <= stack.height());
        }
        // Views shorter than the row share its middle line.
        QVERIFY(qAbs((from->y() + from->height() / 2) - 30) <= 1);
    }

    void linkColourFollowsTheSystemVersion() {
        QPalette palette;
        palette.setColor(QPalette::Link, QColor(10, 100, 200));
        palette.setColor(QPalette::WindowText, QColor(20, 20, 20));
        const VRNSystemVersionManager old({10, 9, 5});
        const VRNSystemVersionManager v10_12({10, 12, 0});
        const VRNSystemVersionManager current({15, 0, 0});

        QCOMPARE(VRNButtonLinkCell::linkColor(palette, old, false), QColor(0, 0, 255));
        QCOMPARE(VRNButtonLinkCell::linkColor(palette, old, true), QColor(0, 0, 255));
        QCOMPARE(VRNButtonLinkCell::linkColor(palette, v10_12, false), QColor(10, 100, 200));
        QCOMPARE(VRNButtonLinkCell::linkColor(palette, v10_12, true), QColor(20, 20, 20));
        QCOMPARE(VRNButtonLinkCell::linkColor(palette, current, false), QColor(10, 100, 200));
        const QColor pressed = VRNButtonLinkCell::linkColor(palette, current, true);
        QCOMPARE(pressed.hue(), QColor(10, 100, 200).hue());
        QVERIFY(pressed.value() < QColor(10, 100, 200).value());

        // What is drawn is the title in that colour.
        VRNButtonLinkCell link("Web site", current);
        link.setPalette(palette);
        link.resize(link.sizeHint());
        const QImage image = link.grab().toImage();
        bool sawLinkColour = false;
        for (int y = 0; y < image.height() && !sawLinkColour; ++y) {
            for (int x = 0; x < image.width() && !sawLinkColour; ++x) {
                sawLinkColour = image.pixelColor(x, y) == QColor(10, 100, 200);
            }
        }
        QVERIFY(sawLinkColour);
    }

    void datePickerShowsHoursAndMinutes() {
        KBEDatePicker current(VRNSystemVersionManager({15, 0, 0}));
        KBEDatePicker old(VRNSystemVersionManager({10, 9, 0}));
        current.setTime(QTime(7, 5, 33));
        QCOMPARE(current.text(), QString("07:05"));
        QCOMPARE(current.displayedSections(),
                 QDateTimeEdit::HourSection | QDateTimeEdit::MinuteSection);
        QCOMPARE(old.sizeHint().height(), current.sizeHint().height() + 2);
        QCOMPARE(old.sizeHint().width(), current.sizeHint().width());
    }
};

QTEST_MAIN(LayoutViewsTest)
#include "LayoutViewsTest.moc"

#include "application/editors/KBEIntervalViewController.h"

#include "application/editors/KBENumberTextField.h"
#include "application/editors/KBEStepper.h"
#include "application/ui/KBELocalizedString.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <algorithm>

namespace {

struct Unit {
    const char* key;      // the settings key
    const char* label;    // the sentence in front of the number
    const char* singular; // the pop-up title below 2
    const char* plural;
};

constexpr Unit kUnits[] = {
    {"Minutes", "Back up every-minutes", "minute", "minutes"},
    {"Hours", "Back up every-hours", "hour", "hours"},
    {"Days", "Back up every-days", "day", "days"},
    {"Weeks", "Back up every-weeks", "week", "weeks"},
};

constexpr int kMinutesPerHour = 60;
constexpr int kHoursPerDay = 24;

} // namespace

QWidget* KBEIntervalViewController::loadView() {
    auto* view = new QWidget;
    label_ = new QLabel(view);
    field_ = new KBENumberTextField(view);
    stepper_ = new KBEStepper(kMinimumValue, kMaximumValue, view);
    units_ = new QComboBox(view);
    for (const Unit& unit : kUnits) {
        units_->addItem(KBELocalizedString(unit.plural));
    }
    units_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    // Wide enough for three digits and the frame, no wider.
    field_->setFixedWidth(field_->fontMetrics().horizontalAdvance(QStringLiteral("0000")) + 12);
    field_->setAlignment(Qt::AlignRight);

    auto* layout = new QHBoxLayout(view);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(label_);
    layout->addWidget(field_);
    layout->addWidget(stepper_);
    layout->addWidget(units_);
    layout->addStretch();

    QObject::connect(units_, &QComboBox::activated, view, [this] { changeUnitsPopup(); });
    QObject::connect(stepper_, &KBEStepper::valueChanged, view, [this] { changeStepper(); });
    QObject::connect(field_, &QLineEdit::textEdited, view, [this] { controlTextDidChange(); });
    QObject::connect(field_, &KBENumberTextField::moveUp, view, [this] { moveBy(1); });
    QObject::connect(field_, &KBENumberTextField::moveDown, view, [this] { moveBy(-1); });
    return view;
}

int KBEIntervalViewController::intervalValue() const {
    // At most three digits reach the field, so the number always fits.
    return std::clamp(field_->text().toInt(), kMinimumValue, kMaximumValue);
}

int KBEIntervalViewController::intervalMode() const {
    const int index = units_->currentIndex();
    return index >= kMinutes && index <= kWeeks ? index : kMinutes;
}

void KBEIntervalViewController::setIntervalValue(long long value) {
    const long long clamped = std::clamp<long long>(value, kMinimumValue, kMaximumValue);
    field_->setText(QString::number(clamped));
    updateStepperAndTitles();
}

void KBEIntervalViewController::setIntervalMode(int mode) {
    units_->setCurrentIndex(mode);
    updateLabel();
}

void KBEIntervalViewController::changeUnitsPopup() {
    updateLabel();
}

void KBEIntervalViewController::changeStepper() {
    setIntervalValue(stepper_->value());
}

void KBEIntervalViewController::controlTextDidChange() {
    updateStepperAndTitles();
}

void KBEIntervalViewController::moveBy(int step) {
    setIntervalValue(intervalValue() + step);
}

void KBEIntervalViewController::updateLabel() {
    label_->setText(KBELocalizedString(kUnits[intervalMode()].label));
}

void KBEIntervalViewController::updateStepperAndTitles() {
    const int value = intervalValue();
    stepper_->setValue(value);
    for (int i = 0; i < units_->count(); ++i) {
        units_->setItemText(i,
                            KBELocalizedString(value < 2 ? kUnits[i].singular : kUnits[i].plural));
    }
}

void KBEIntervalViewController::updateView() {
    const plist::Value* value = loadedSettings() ? &*loadedSettings() : nullptr;
    // The largest unit present wins; without any, minutes (a missing count shows as 1).
    int mode = kMinutes;
    const plist::Value* count = value ? value->find(kUnits[kMinutes].key) : nullptr;
    for (int candidate = kWeeks; candidate > kMinutes; --candidate) {
        if (const plist::Value* found = value ? value->find(kUnits[candidate].key) : nullptr) {
            mode = candidate;
            count = found;
            break;
        }
    }
    setIntervalMode(mode);
    setIntervalValue(count ? count->asInteger().value_or(0) : 0);
}

plist::Value KBEIntervalViewController::settingsFromView() const {
    const int value = intervalValue();
    switch (intervalMode()) {
    case kMinutes:
        if (value % kMinutesPerHour == 0) {
            return plist::Dictionary{{"Hours", value / kMinutesPerHour}};
        }
        return plist::Dictionary{{"Minutes", value}};
    case kHours:
        if (value % kHoursPerDay == 0) {
            return plist::Dictionary{{"Days", value / kHoursPerDay}};
        }
        return plist::Dictionary{{"Hours", value}};
    case kDays:
        return plist::Dictionary{{"Days", value}};
    default:
        return plist::Dictionary{{"Weeks", value}};
    }
}

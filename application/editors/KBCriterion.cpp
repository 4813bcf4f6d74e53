#include "application/editors/KBCriterion.h"

#include "application/editors/KBETimeOfDay.h"
#include "application/ui/KBEDatePicker.h"
#include "application/ui/KBELocalizedString.h"

#include <QComboBox>
#include <QLabel>

namespace {

constexpr const char* kDays[] = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                                 "Friday", "Saturday", "Sunday"};

// The small system font: 11 points where the regular one has 13.
QFont smallFont(const QWidget* widget) {
    QFont font = widget->font();
    font.setPointSizeF(font.pointSizeF() * 11.0 / 13.0);
    return font;
}

QWidget* makeLabel(const char* key) {
    auto* label = new QLabel(KBELocalizedString(key));
    label->setFont(smallFont(label));
    label->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    return label;
}

QWidget* makeDayPopup() {
    auto* popup = new QComboBox;
    popup->addItem(KBELocalizedString("Every Day"));
    popup->insertSeparator(1);
    for (const char* day : kDays) {
        popup->addItem(KBELocalizedString(day));
    }
    popup->setFont(smallFont(popup));
    popup->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    popup->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    return popup;
}

QWidget* makeTimePicker(const VRNSystemVersionManager& version) {
    auto* picker = new KBEDatePicker(version);
    picker->setFont(smallFont(picker));
    picker->setTime(KBECurrentTimeOfDay());
    picker->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    return picker;
}

} // namespace

KBCriterion::KBCriterion(unsigned type, const VRNSystemVersionManager& version)
    : type_(type), version_(version) {}

KBCriterion* KBCriterion::child() {
    if (!hasChild()) {
        return nullptr;
    }
    if (!child_) {
        child_ = std::make_unique<KBCriterion>(type_ + 1, version_);
    }
    return child_.get();
}

QWidget* KBCriterion::displayValue() const {
    switch (type_) {
    case kBackUpLabel:
        return makeLabel("Back up");
    case kDayPopup:
        return makeDayPopup();
    case kAtLabel:
        return makeLabel("at");
    default:
        return makeTimePicker(version_);
    }
}

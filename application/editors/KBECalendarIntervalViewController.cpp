#include "application/editors/KBECalendarIntervalViewController.h"

#include "application/editors/KBETimeOfDay.h"
#include "application/ui/KBEDatePicker.h"
#include "application/ui/KBELocalizedString.h"

#include <QCheckBox>
#include <QComboBox>
#include <QVBoxLayout>

namespace {

constexpr int kDayPopupItem = 1;
constexpr int kTimePickerItem = 3;

// The day pop-up's index for a stored "Weekday" (1 = Monday ... 7 = Sunday; 0 is Sunday as
// well), "Every Day" without one; nullopt for a weekday no item stands for.
std::optional<int> dayIndexForWeekday(const plist::Value* weekday) {
    if (!weekday) {
        return KBECalendarIntervalViewController::kEveryDayIndex;
    }
    const long long day = weekday->asInteger().value_or(-1);
    if (day == 0 || day == 7) {
        return KBECalendarIntervalViewController::kSundayIndex;
    }
    if (day >= 1 && day <= 6) {
        return static_cast<int>(day) + 1;
    }
    return std::nullopt;
}

long long integerEntry(const plist::Dictionary& interval, const char* key) {
    const auto found = interval.find(key);
    return found == interval.end() ? 0 : found->second.asInteger().value_or(0);
}

} // namespace

KBECalendarIntervalViewController::KBECalendarIntervalViewController(
    const VRNSystemVersionManager& version)
    : version_(version) {}

KBECalendarIntervalViewController::~KBECalendarIntervalViewController() = default;

QWidget* KBECalendarIntervalViewController::loadView() {
    rootItem_ = std::make_unique<KBCriterion>(KBCriterion::kBackUpLabel, version_);
    auto* view = new QWidget;
    ruleEditor_ = new KBERuleEditor(*this, view);
    asapCheckbox_ =
        new QCheckBox(KBELocalizedString("Back up as soon as possible after a missed time"), view);
    auto* layout = new QVBoxLayout(view);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(ruleEditor_);
    layout->addWidget(asapCheckbox_);
    return view;
}

int KBECalendarIntervalViewController::numberOfChildrenForCriterion(KBERuleEditor*,
                                                                    KBCriterion* criterion) {
    return !criterion || criterion->hasChild() ? 1 : 0;
}

KBCriterion* KBECalendarIntervalViewController::child(KBERuleEditor*, int, KBCriterion* criterion) {
    return criterion ? criterion->child() : rootItem_.get();
}

QWidget* KBECalendarIntervalViewController::displayValueForCriterion(KBERuleEditor*,
                                                                     KBCriterion* criterion, int) {
    return criterion->displayValue();
}

void KBECalendarIntervalViewController::updateView() {
    ruleEditor_->removeAllRows();
    const plist::Value* value = loadedSettings() ? &*loadedSettings() : nullptr;
    const plist::Value* intervals = value ? value->find("Intervals") : nullptr;
    if (const plist::Array* list = intervals ? intervals->asArray() : nullptr) {
        for (const plist::Value& entry : *list) {
            const plist::Dictionary* interval = entry.asDictionary();
            // A day of the month has no control here; an entry with neither hour nor weekday
            // is no time of day.
            if (!interval || interval->contains("Day") ||
                (!interval->contains("Hour") && !interval->contains("Weekday"))) {
                continue;
            }
            const auto weekday = interval->find("Weekday");
            const std::optional<int> day =
                dayIndexForWeekday(weekday == interval->end() ? nullptr : &weekday->second);
            if (!day) {
                continue;
            }
            const QList<QWidget*> items = ruleEditor_->addRow();
            static_cast<QComboBox*>(items[kDayPopupItem])->setCurrentIndex(*day);
            static_cast<KBEDatePicker*>(items[kTimePickerItem])
                ->setTime(KBETimeOfDay(integerEntry(*interval, "Hour"),
                                       integerEntry(*interval, "Minute")));
        }
    }
    if (ruleEditor_->numberOfRows() == 0) {
        ruleEditor_->addRow();
    }
    const plist::Value* asap = value ? value->find("ASAP") : nullptr;
    asapCheckbox_->setChecked(asap && asap->asBoolean().value_or(false));
}

plist::Value KBECalendarIntervalViewController::settingsFromView() const {
    plist::Array intervals;
    for (int row = 0; row < ruleEditor_->numberOfRows(); ++row) {
        const QList<QWidget*> items = ruleEditor_->displayValuesForRow(row);
        const int day = static_cast<QComboBox*>(items[kDayPopupItem])->currentIndex();
        const QTime time = static_cast<KBEDatePicker*>(items[kTimePickerItem])->time();
        plist::Dictionary interval{{"Hour", time.hour()}, {"Minute", time.minute()}};
        if (day != kEveryDayIndex) {
            interval.emplace("Weekday", day - 1);
        }
        intervals.push_back(std::move(interval));
    }
    return plist::Dictionary{{"Intervals", std::move(intervals)},
                             {"ASAP", asapCheckbox_->isChecked()}};
}

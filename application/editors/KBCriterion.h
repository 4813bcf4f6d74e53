#pragma once

#include "common/VRNSystemVersionManager.h"

#include <memory>

class QWidget;

// One item of a calendar-interval row. The chain is fixed: "Back up" (0) -> the day pop-up
// (1) -> "at" (2) -> the time picker (3), so every row shows the same four items.
class KBCriterion {
public:
    enum Type : unsigned { kBackUpLabel = 0, kDayPopup = 1, kAtLabel = 2, kTimePicker = 3 };

    KBCriterion(unsigned type, const VRNSystemVersionManager& version);

    unsigned type() const { return type_; }
    // The next item of the chain, made on first request and kept; null after the picker.
    KBCriterion* child();
    bool hasChild() const { return type_ < kTimePicker; }
    // A new control for one row (a widget lives in one row only): a label, the day pop-up
    // ("Every Day", a separator, Monday ... Sunday) or a picker set to the current time.
    QWidget* displayValue() const;

private:
    const unsigned type_;
    const VRNSystemVersionManager version_;
    std::unique_ptr<KBCriterion> child_;
};

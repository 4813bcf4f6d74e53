#pragma once

#include "application/editors/KBEScheduleEditor.h"

class KBENumberTextField;
class KBEStepper;
class QComboBox;
class QLabel;

// Edits "Interval": a count of 1 to 999 minutes, hours, days or weeks. The value is a
// dictionary with one of "Minutes", "Hours", "Days", "Weeks"; whole hours and whole days
// given in the smaller unit are stored in the larger one (never days as weeks).
class KBEIntervalViewController final : public KBEScheduleEditor {
public:
    static constexpr const char* kName = "Interval";
    static constexpr int kMinimumValue = 1;
    static constexpr int kMaximumValue = 999;
    enum Mode { kMinutes = 0, kHours = 1, kDays = 2, kWeeks = 3 };

    std::string name() const override { return kName; }

    // The field's number clamped to 1 ... 999 (an empty field reads as 1).
    int intervalValue() const;
    // The unit pop-up's index; anything but 0 ... 3 reads as minutes.
    int intervalMode() const;
    // Clamps to 1 ... 999, shows the number, then follows it with the stepper and the
    // unit titles.
    void setIntervalValue(long long value);
    void setIntervalMode(int mode);

    QLabel* labelTextField() const { return label_; }
    KBENumberTextField* intervalTextField() const { return field_; }
    KBEStepper* stepper() const { return stepper_; }
    QComboBox* unitsPopup() const { return units_; }

private:
    QWidget* loadView() override;
    void updateView() override;
    plist::Value settingsFromView() const override;

    void changeUnitsPopup();
    void changeStepper();
    void controlTextDidChange();
    void moveBy(int step);
    void updateLabel();
    void updateStepperAndTitles();

    QLabel* label_ = nullptr;
    KBENumberTextField* field_ = nullptr;
    KBEStepper* stepper_ = nullptr;
    QComboBox* units_ = nullptr;
};

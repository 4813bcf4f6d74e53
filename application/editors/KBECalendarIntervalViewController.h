#pragma once

#include "application/editors/KBCriterion.h"
#include "application/editors/KBERuleEditor.h"
#include "application/editors/KBEScheduleEditor.h"

#include <memory>

class QCheckBox;

// Edits "CalendarIntervals": rows of "Back up <day> at <time>" and whether a missed time is
// caught up as soon as possible. The value is { "Intervals" = [{ "Hour", "Minute" and, for
// one weekday, "Weekday" 1 = Monday ... 7 = Sunday }], "ASAP" }.
class KBECalendarIntervalViewController final : public KBEScheduleEditor,
                                                private KBERuleEditorDelegate {
public:
    static constexpr const char* kName = "CalendarIntervals";
    // Day pop-up indices: "Every Day", the separator, then Monday ... Sunday.
    static constexpr int kEveryDayIndex = 0;
    static constexpr int kSundayIndex = 8;

    explicit KBECalendarIntervalViewController(const VRNSystemVersionManager& version);
    ~KBECalendarIntervalViewController() override;

    std::string name() const override { return kName; }

    KBERuleEditor* ruleEditor() const { return ruleEditor_; }
    QCheckBox* backupASAPCheckbox() const { return asapCheckbox_; }

private:
    QWidget* loadView() override;
    void updateView() override;
    plist::Value settingsFromView() const override;

    int numberOfChildrenForCriterion(KBERuleEditor* editor, KBCriterion* criterion) override;
    KBCriterion* child(KBERuleEditor* editor, int index, KBCriterion* criterion) override;
    QWidget* displayValueForCriterion(KBERuleEditor* editor, KBCriterion* criterion,
                                      int row) override;

    const VRNSystemVersionManager version_;
    std::unique_ptr<KBCriterion> rootItem_;
    KBERuleEditor* ruleEditor_ = nullptr;
    QCheckBox* asapCheckbox_ = nullptr;
};

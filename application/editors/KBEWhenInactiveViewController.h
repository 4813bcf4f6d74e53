#pragma once

#include "application/editors/KBEScheduleEditor.h"

// The "when inactive" mode has nothing to set: its value is always an empty dictionary.
class KBEWhenInactiveViewController final : public KBEScheduleEditor {
public:
    static constexpr const char* kName = "WhenInactive";

    std::string name() const override { return kName; }
    std::optional<plist::Value> settings() const override;

private:
    QWidget* loadView() override;
    void updateView() override {}
    plist::Value settingsFromView() const override;
};

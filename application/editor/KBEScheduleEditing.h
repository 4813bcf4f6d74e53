#pragma once

#include "platform/plist/Value.h"

#include <functional>
#include <memory>
#include <string>

class QWidget;

// What the editor window needs of a schedule editor: the settings key it owns, the value
// built from its controls, loading a value, and its view.
class KBEScheduleEditing {
public:
    virtual ~KBEScheduleEditing() = default;
    virtual std::string name() const = 0;
    virtual plist::Value settings() = 0;
    // `value` is null when the settings lack the editor's key.
    virtual void setSettings(const plist::Value* value) = 0;
    virtual QWidget* view() = 0;
};

// Builds the editor of a mode pop-up index: 0 when inactive, 1 interval, 2 calendar
// intervals.
using KBEScheduleEditorFactory = std::function<std::unique_ptr<KBEScheduleEditing>(int index)>;

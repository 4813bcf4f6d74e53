#pragma once

#include "platform/plist/Value.h"

#include <QPointer>
#include <QWidget>
#include <optional>
#include <string>

// What the editor window asks of each schedule editor: the settings key it owns (`name`),
// the value built from its controls (`settings`), loading a value (`setSettings`) and the
// view that holds the controls, built on first request.
//
// Before its view exists an editor has no controls to read: `settings` then gives back the
// value it was last loaded with, so applying leaves that key as it was.
class KBEScheduleEditor {
public:
    virtual ~KBEScheduleEditor();
    KBEScheduleEditor(const KBEScheduleEditor&) = delete;
    KBEScheduleEditor& operator=(const KBEScheduleEditor&) = delete;

    virtual std::string name() const = 0;
    virtual std::optional<plist::Value> settings() const;
    // Keeps a copy of `value` (nullopt: the key is missing) and loads the controls from it
    // at once when the view exists, else when it is built.
    void setSettings(std::optional<plist::Value> value);

    QWidget* view();
    bool isViewLoaded() const { return view_ != nullptr; }

protected:
    KBEScheduleEditor() = default;

    // The last loaded value.
    const std::optional<plist::Value>& loadedSettings() const { return settings_; }

    // Builds the view and its controls (called once).
    virtual QWidget* loadView() = 0;
    // Loads the controls from `loadedSettings()`.
    virtual void updateView() = 0;
    // The value the controls show; only called once the view exists.
    virtual plist::Value settingsFromView() const = 0;

private:
    std::optional<plist::Value> settings_;
    QPointer<QWidget> view_;
};

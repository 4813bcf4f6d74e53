#include "application/editors/KBEScheduleEditor.h"

KBEScheduleEditor::~KBEScheduleEditor() {
    // The view may have been deleted by a window that held it; QPointer is null then.
    delete view_.data();
}

std::optional<plist::Value> KBEScheduleEditor::settings() const {
    if (!isViewLoaded()) {
        return settings_;
    }
    return settingsFromView();
}

void KBEScheduleEditor::setSettings(std::optional<plist::Value> value) {
    settings_ = std::move(value);
    if (isViewLoaded()) {
        updateView();
    }
}

QWidget* KBEScheduleEditor::view() {
    if (!view_) {
        view_ = loadView();
        view_->setObjectName(QString::fromStdString(name()));
        updateView();
    }
    return view_;
}

#include "application/editors/KBEWhenInactiveViewController.h"

std::optional<plist::Value> KBEWhenInactiveViewController::settings() const {
    return settingsFromView();
}

QWidget* KBEWhenInactiveViewController::loadView() {
    return new QWidget;
}

plist::Value KBEWhenInactiveViewController::settingsFromView() const {
    return plist::Dictionary{};
}

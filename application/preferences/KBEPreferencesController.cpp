#include "application/preferences/KBEPreferencesController.h"

#include "application/ui/KBEMainThreadQueue.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>
#include <algorithm>

KBEPreferencesController::KBEPreferencesController(KBEPreferencesServices services, QWidget* parent)
    : QWidget(parent, Qt::Window), _services(std::move(services)),
      _autoUpdatesCheckbox(new QCheckBox(tr("Automatically check for and install updates"), this)),
      _requirePasswordCheckbox(
          new QCheckBox(tr("Require an administrator password to change settings"), this)),
      _mainQueue(KBEMainThreadQueue::create(this)) {
    setWindowTitle(tr("Preferences"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(_autoUpdatesCheckbox);
    layout->addWidget(_requirePasswordCheckbox);
    layout->addStretch(1);
    connect(_autoUpdatesCheckbox, &QCheckBox::clicked, this, [this] { changeAutoUpdates(); });
    connect(_requirePasswordCheckbox, &QCheckBox::clicked, this,
            [this] { changeRequirePassword(); });

    updateAutoUpdates();
    updateRequirePassword();
    _didEnableAutoUpdatesObserver = _services.notifications.addObserver(
        kDidEnableAutoUpdatesNotification, _mainQueue,
        [this](const std::string&, const std::any&) { _autoUpdatesCheckbox->setChecked(true); });

    adjustSize();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
}

KBEPreferencesController::~KBEPreferencesController() {
    _services.notifications.removeObserver(_didEnableAutoUpdatesObserver);
}

void KBEPreferencesController::updateAutoUpdates() {
    std::optional<VRNError> error;
    const auto reply =
        _services.messager.sendSynchronousMessage(kGetUpdatesEnabledMessage, std::nullopt, &error);
    if (!reply) {
        return;
    }
    const plist::Value* enabled = reply->find("Enabled");
    _autoUpdatesCheckbox->setChecked(enabled && enabled->asBoolean().value_or(false));
}

void KBEPreferencesController::updateRequirePassword() {
    const auto definition = _services.database.right(kSettingsRight);
    if (!definition) {
        return;
    }
    // Kept for as long as `rule` points into it.
    const plist::Value right(*definition);
    const plist::Value* rule = right.find("rule");
    const plist::Array* entries = rule ? rule->asArray() : nullptr;
    const bool adminAllowed =
        !entries || std::any_of(entries->begin(), entries->end(), [](const plist::Value& entry) {
            const std::string* text = entry.asString();
            return text && *text == "is-admin";
        });
    _requirePasswordCheckbox->setChecked(!adminAllowed);
}

void KBEPreferencesController::changeAutoUpdates() {
    std::optional<VRNError> error;
    const plist::Dictionary payload{{"Enabled", _autoUpdatesCheckbox->isChecked()}};
    if (!_services.messager.sendSynchronousMessage(kSetUpdatesEnabledMessage, plist::Value(payload),
                                                   &error)) {
        updateAutoUpdates();
    }
}

void KBEPreferencesController::changeRequirePassword() {
    std::optional<VRNError> error;
    // Turned off: administrators may change settings again without a password.
    const plist::Dictionary payload{{"Allow", !_requirePasswordCheckbox->isChecked()}};
    if (_services.messager.sendSynchronousMessage(kAllowAdminChangesMessage, plist::Value(payload),
                                                  &error)) {
        _services.authorization.invalidate();
    } else {
        updateRequirePassword();
    }
}

#pragma once

// The Preferences window: two checkboxes that act at once, without Apply — the daemon's
// automatic updates, and whether changing the settings requires a password (whether the
// settings right admits administrators without one).

#include "common/KBEHelperMessager.h"
#include "common/VRNAuthorizationDatabase.h"
#include "common/VRNAuthorizationManager.h"
#include "common/VRNNotificationCenter.h"

#include <QWidget>
#include <memory>

class QCheckBox;
class KBEMainThreadQueue;

struct KBEPreferencesServices {
    KBEHelperMessager& messager;
    // Whose cached authorization is dropped once the password rule changed.
    VRNAuthorizationManager& authorization;
    VRNAuthorizationDatabase database;
    VRNNotificationCenter& notifications;
};

class KBEPreferencesController final : public QWidget {
    Q_OBJECT
public:
    // Posted in the process when automatic updates were switched on elsewhere.
    static constexpr const char* kDidEnableAutoUpdatesNotification = "KBEDidEnableAutoUpdates";
    static constexpr const char* kSettingsRight = "com.vornhal.keelbrook.settings.modify-1";
    static constexpr long kGetUpdatesEnabledMessage = 18;
    static constexpr long kSetUpdatesEnabledMessage = 21;
    static constexpr long kAllowAdminChangesMessage = 6;

    explicit KBEPreferencesController(KBEPreferencesServices services, QWidget* parent = nullptr);
    ~KBEPreferencesController() override;

    QCheckBox* autoUpdatesCheckbox() const { return _autoUpdatesCheckbox; }
    QCheckBox* requirePasswordCheckbox() const { return _requirePasswordCheckbox; }

    void updateAutoUpdates();
    void updateRequirePassword();
    void changeAutoUpdates();
    void changeRequirePassword();

private:
    KBEPreferencesServices _services;
    QCheckBox* _autoUpdatesCheckbox;
    QCheckBox* _requirePasswordCheckbox;
    std::shared_ptr<KBEMainThreadQueue> _mainQueue;
    VRNNotificationCenter::Token _didEnableAutoUpdatesObserver = 0;
};

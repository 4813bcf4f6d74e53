#pragma once

// The daemon's main controller: owns its queue, the message server, the authority, the
// self-updater, the backup manager and the settings in force; answers the clients' numbered
// messages; turns the settings into the schedule; keeps a backup and an update from ever
// running at once.

#include "common/VRNAuthorizationDatabase.h"
#include "common/VRNEnvironment.h"
#include "common/VRNMessagerServer.h"
#include "common/authority/VRNAuthority.h"
#include "platform/notify/Notify.h"
#include "platform/preferences/Domain.h"
#include "scheduler/daemon/KBEHelperBackupManager.h"
#include "scheduler/daemon/KBEHelperSettings.h"
#include "scheduler/daemon/VRNTerminationManager.h"
#include "scheduler/updater/VRNUpdater.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class KBEHelperMainController final : public VRNMessagerServerDelegate,
                                      public KBEHelperBackupManagerDelegate,
                                      public VRNUpdateManagerDelegate,
                                      public KBEHelperSettingsDelegate,
                                      public std::enable_shared_from_this<KBEHelperMainController> {
public:
    static constexpr const char* kQueueLabel = "com.vornhal.keelbrook.main";
    static constexpr const char* kServiceName = "com.vornhal.keelbrook.scheduler";
    static constexpr const char* kTeamIdentifier = "K7QX2ZM4VB";
    static constexpr const char* kDownloadPath = "/Library/Keelbrook/Keelbrook.pkg";
    static constexpr const char* kSupportPath = "/Library/Keelbrook/";
    static constexpr const char* kTool = "/Library/Keelbrook/kbectl";

    // What the controller is built from; the daemon's main passes system().
    struct Collaborators {
        VRNEnvironment environment;
        VRNTerminationManager& termination;
        // The daemon's defaults domain.
        std::shared_ptr<prefs::Domain> defaults;
        VRNActivity::Environment activities;
        notify::Poster& poster;
        VRNUpdaterEnvironment updater;
        VRNXPCServerOptions server;
        VRNAuthorityOptions authority;
        VRNAuthorizationDatabase rights;
        // Who must own the settings file (root).
        uid_t settingsOwner = 0;
        // Shows a notice to every active graphical session's user; none logs it only.
        std::function<void(const std::string& header, const std::string& message)> showNotice;
        // Told the number of open client connections each time it changes, on the
        // controller's queue (tests wait on it); may be empty.
        std::function<void(std::uint64_t peers)> peersChanged;

        // The process's instances in the installed environment.
        static Collaborators system();
    };

    // The process's controller, built on first use from Collaborators::system().
    static KBEHelperMainController& sharedController();
    static std::shared_ptr<KBEHelperMainController> create(Collaborators collaborators);

    // Gives back the start-up hold, registers the rights, starts the authority and the
    // server, loads and applies the settings, configures the updater.
    void start();

    // The settings in force and the schedule they ask for.
    const plist::Dictionary& settings() const { return _settings->settings(); }
    void applySettings() override;

    // Single settings (messages 7 to 25).
    bool backupsEnabled() const;
    bool snapshotsEnabled() const;
    std::optional<std::string> backupsMode() const;
    plist::Dictionary backupsInterval() const;
    bool backupsWhenInactive() const;
    bool setBackupsEnabled(bool enabled, VRNError* error);
    bool setSnapshotsEnabled(bool enabled, VRNError* error);
    // A missing mode removes the key, which the check then refuses.
    bool setBackupsMode(const std::optional<std::string>& mode, VRNError* error);
    bool setBackupsInterval(const plist::Dictionary& interval, VRNError* error);
    bool setBackupsWhenInactiveWithError(VRNError* error);
    bool enableSchedulerWithError(VRNError* error);
    bool disableSchedulerWithError(VRNError* error);
    bool updatesEnabled() const { return _autoUpdates; }
    void setUpdatesEnabled(bool enabled);
    std::string updatesMode() const;
    void setUpdatesMode(const std::string& mode);
    std::string updatesFeed() const;
    void setUpdatesFeed(const std::string& feed);

    std::string updaterFeedURLFromString(const std::string& feed) const;

    // Message 28: runs "kbectl _uninstall"; the completion gets its outcome on `queue`.
    void uninstallWithQueue(dispatch::QueuePtr queue, VRNUpdateManagerDelegate::Handler completion);

    // The numbered messages.
    void handleMessage(long message, const plist::Value& payload,
                       VRNMessagerServerReplyHandler replyHandler);

    // Message server.
    bool messagerShouldAcceptConnection(VRNMessagerServer& messager,
                                        const std::shared_ptr<VRNXPCPeerConnection>& peer) override;
    void messagerPeerDidDisconnect(VRNMessagerServer& messager,
                                   const std::shared_ptr<VRNXPCPeerConnection>& peer) override;
    std::vector<std::string> messagerAuthorizationRightsForMessage(VRNMessagerServer& messager,
                                                                   long message) override;
    bool messagerKnowsMessage(VRNMessagerServer& messager, long message) override;
    void messagerHandleMessage(VRNMessagerServer& messager, long message,
                               const plist::Value& payload,
                               const std::shared_ptr<VRNXPCPeerConnection>& peer,
                               VRNMessagerServerReplyHandler replyHandler) override;

    // Backup manager.
    bool prepareForBackupWithError(std::optional<VRNError>* error) override;
    void unprepareForBackup() override;

    // Updater.
    bool prepareForUpdateInBackground(bool background, VRNError* error) override;
    void unprepareForUpdate() override;
    void updateWithPackageAtURL(const std::string& path, dispatch::QueuePtr queue,
                                Handler handler) override;
    void updateFailedWithError(const VRNError& error) override;

    // Settings.
    void setSubmittedDate(cal::Date date) override;
    void disableSystemScheduler() override;

    // For tests and status: the open client connections.
    std::uint64_t peers() const { return _peers; }
    KBEHelperBackupManager& backupManager() { return *_backupManager; }
    VRNUpdater& updater() { return *_updater; }

    explicit KBEHelperMainController(Collaborators collaborators);

private:
    void _init();
    bool _registerAuthorizationRightsWithError(std::optional<VRNError>* error);
    bool _setAllowsAdminChanges(bool allow, std::optional<VRNError>* error);
    void _startServer();
    void _peersDidChange();
    void _startBackupManager();
    void _startUpdater();
    // The settings in force with `change` made, installed.
    bool _installChanged(const std::function<void(plist::Dictionary&)>& change,
                         bool resetSubmittedDate, VRNError* error);
    void _runTool(const char* argument, const std::optional<std::string>& path,
                  dispatch::QueuePtr queue, VRNUpdateManagerDelegate::Handler handler);
    bool _defaultsFlag(const char* key) const;
    std::string _defaultsString(const char* key) const;

    Collaborators _collaborators;
    dispatch::QueuePtr _queue;
    std::shared_ptr<VRNAuthority> _authority;
    std::shared_ptr<VRNMessagerServer> _server;
    std::shared_ptr<VRNUpdater> _updater;
    std::shared_ptr<KBEHelperBackupManager> _backupManager;
    std::unique_ptr<KBEHelperSettings> _settings;
    std::uint64_t _peers = 0;
    bool _autoUpdates = false;
    bool _backingUp = false;
    bool _updating = false;
};

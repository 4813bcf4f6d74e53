#pragma once

#include "common/VRNEnvironment.h"
#include "platform/dispatch/Queue.h"
#include "platform/notify/Notify.h"
#include "platform/plist/Value.h"
#include "platform/preferences/Domain.h"
#include "scheduler/activity/VRNActivity.h"
#include "scheduler/activity/VRNActivityCriteria.h"
#include "scheduler/daemon/KBEHelperBackupManagerDelegate.h"
#include "scheduler/daemon/VRNTerminationManager.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

// Turns the daemon's two scheduled activities into work: when the backup activity fires it
// runs "tmutil startbackup", when the snapshots activity fires "tmutil snapshot", and it
// reports the result back (0 finished, 1 failed, 2 deferred). It also switches the engine's
// own automatic scheduling off, starts a backup on request, honours the dry-run mode and
// reads the engine's record of its last backup.
//
// The public operations run on the logic queue (the main controller's queue targets it);
// the activities' work and the tool's completions run on the manager's own queue, which
// targets the logic queue too, so the flags need no lock.
class KBEHelperBackupManager : public std::enable_shared_from_this<KBEHelperBackupManager> {
public:
    static constexpr const char* kQueueLabel = "com.vornhal.keelbrook.backup-manager";
    static constexpr const char* kBackupIdentifier = "com.vornhal.keelbrook.backup";
    static constexpr const char* kSnapshotsIdentifier = "com.vornhal.keelbrook.snapshots";
    static constexpr const char* kSnapshotNotification = "com.vornhal.keelbrook.snapshot";
    static constexpr const char* kTool = "/usr/bin/tmutil";
    static constexpr const char* kTimeMachineDomain = "com.apple.TimeMachine";
    static constexpr const char* kTimeMachinePreferences =
        "/Library/Preferences/com.apple.TimeMachine.plist";
    static constexpr const char* kKickstartAssertion = "kickstart";
    static constexpr const char* kSnapshotAssertion = "local snapshot";

    static constexpr dispatch::Duration kRecentWakeDelay = std::chrono::seconds(10);
    static constexpr dispatch::Duration kDryBackupDuration = std::chrono::seconds(60);
    static constexpr dispatch::Duration kDrySnapshotDuration = std::chrono::seconds(5);

    using CompletionHandler = VRNActivity::CompletionHandler;

    // What the manager works with; the main controller passes the process's instances.
    struct Collaborators {
        VRNEnvironment environment;
        VRNTerminationManager& termination;
        // The activities' world: the state store and the system events manager among it.
        VRNActivity::Environment activities;
        // The daemon's defaults domain ("DryRun", the older release's keys).
        std::shared_ptr<prefs::Domain> defaults;
        notify::Poster& poster;
    };

    // Switches the engine's own automatic backups and local snapshots off when its
    // preferences say they are on ("tmutil disable", "tmutil disablelocal", run to their end,
    // their outcome ignored). The engine's preferences and the tool are found below the
    // environment's installation root.
    static void disableSystemScheduler(const VRNEnvironment& environment);

    // Creates the queue and both activities and migrates the older release's defaults keys.
    static std::shared_ptr<KBEHelperBackupManager>
    initWithDelegate(const std::shared_ptr<KBEHelperBackupManagerDelegate>& delegate,
                     Collaborators collaborators);
    ~KBEHelperBackupManager();
    KBEHelperBackupManager(const KBEHelperBackupManager&) = delete;
    KBEHelperBackupManager& operator=(const KBEHelperBackupManager&) = delete;

    std::shared_ptr<VRNActivityCriteria> criteria();
    void setCriteria(const std::shared_ptr<VRNActivityCriteria>& criteria);
    std::shared_ptr<VRNActivityCriteria> snapshotsCriteria();
    void setSnapshotsCriteria(const std::shared_ptr<VRNActivityCriteria>& criteria);

    void start();
    void stop();
    // Only from 10.13; on an older system it does nothing.
    void startSnapshots();
    void stopSnapshots();

    // Starts a backup now unless one is running (false); the backup runs on after the call.
    bool kickstart();

    void addAssertion(const std::string& name);
    void removeAssertion(const std::string& name);
    void setSubmittedDate(cal::Date date);
    plist::Dictionary backupsInformation();
    plist::Dictionary snapshotsInformation();

    void performBackupWithRecentWakeThrottle(bool throttle, CompletionHandler completionHandler);
    void performSnapshotWithCompletionHandler(CompletionHandler completionHandler);

    // Whether the engine's record of its last destination shows a failed backup.
    bool didBackupFail();

private:
    KBEHelperBackupManager(const std::shared_ptr<KBEHelperBackupManagerDelegate>& delegate,
                           Collaborators collaborators);
    void _migrateDefaults();
    void _performBackupWithRecentWakeThrottle(bool throttle, CompletionHandler completionHandler);
    void _prepareAndPerformBackup(CompletionHandler completionHandler);
    void __performBackupWithCompletionHandler(std::function<void(bool succeeded)> completion);
    void _performSnapshotWithCompletionHandler(CompletionHandler completionHandler);
    // Why the delegate does not let a run start now; nothing when it does.
    std::optional<std::string> _refusalOfDelegate();
    void _postSnapshotNotification();
    bool _dryRun();
    bool _inDarkWake();
    std::string _tool() const;
    // Runs `work` on the internal queue after `delay`, unless the manager is gone by then.
    void _after(dispatch::Duration delay, std::function<void(KBEHelperBackupManager&)> work);

    dispatch::QueuePtr _internalQueue;
    std::weak_ptr<KBEHelperBackupManagerDelegate> _delegate;
    std::shared_ptr<VRNActivity> _backupActivity;
    std::shared_ptr<VRNActivity> _snapshotsActivity;
    bool _started = false;
    bool _running = false;
    bool _localStarted = false;
    bool _allowBattery = false;

    const VRNEnvironment _environment;
    VRNTerminationManager& _termination;
    VRNActivity::Environment _activities;
    std::shared_ptr<prefs::Domain> _defaults;
    notify::Poster& _poster;
    // The engine's preferences.
    prefs::Domain _timeMachine;
};

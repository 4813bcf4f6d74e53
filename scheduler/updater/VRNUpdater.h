#pragma once

// The self-updater: checks the maker's property-list feed on a schedule of its own (an
// activity), picks the item that fits the installed product and system, applies the phased
// rollout, downloads the package into place, validates its signature and has the owner (the
// daemon's main controller) install it. Clients may also ask for a check or an installation
// at once. All work runs on the updater's queue; the configuration, the downloaded flag and
// the owner's assertion names are guarded by its lock.

#include "common/VRNError.h"
#include "common/VRNSystemVersionManager.h"
#include "platform/dispatch/LockQueue.h"
#include "platform/dispatch/Queue.h"
#include "platform/http/Client.h"
#include "platform/preferences/Domain.h"
#include "platform/reachability/Reachability.h"
#include "scheduler/activity/VRNActivity.h"
#include "scheduler/updater/VRNInstallerPackage.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

// The owner's side of an update (the main controller).
class VRNUpdateManagerDelegate {
public:
    using Handler = std::function<void(std::optional<VRNError> error)>;

    virtual ~VRNUpdateManagerDelegate() = default;
    // Whether an update may run now; false with `error` saying why.
    virtual bool prepareForUpdateInBackground(bool background, VRNError* error) = 0;
    virtual void unprepareForUpdate() = 0;
    // Installs the package at `path`; `handler` runs on `queue` with the outcome.
    virtual void updateWithPackageAtURL(const std::string& path, dispatch::QueuePtr queue,
                                        Handler handler) = 0;
    virtual void updateFailedWithError(const VRNError& error) = 0;
};

// What an updater works with: the shared instances of the daemon by default, injected in
// tests.
struct VRNUpdaterEnvironment {
    VRNActivity::Environment activity;
    // The daemon's defaults domain ("UInterval", "UStartDate", "ULastCheck", "ULastTry").
    std::shared_ptr<prefs::Domain> defaults;
    std::shared_ptr<const VRNSystemVersionManager> versions;
    // The termination manager's holds.
    std::function<void(const std::string& reason)> disableTermination;
    std::function<void(const std::string& reason)> enableTermination;
    // The installed build number, which a feed item's "Version" must exceed.
    long installedVersion = 0;
    // Uniform 32-bit draws for the phased rollout.
    std::function<std::uint32_t()> random;
    // The HTTPS client, made on first use with the updater's queue.
    std::function<std::shared_ptr<http::Client>(dispatch::QueuePtr queue)> makeClient;
    // The update server's reachability, made on first need.
    std::function<std::unique_ptr<reachability::Reachability>()> makeReachability;
    VRNInstallerPackageTrust trust;

    // The daemon's: the shared activity world, the installed environment's versions, the
    // build's number, the real HTTPS client and reachability, the installation's anchor.
    static VRNUpdaterEnvironment system(std::shared_ptr<prefs::Domain> defaults,
                                        std::function<void(const std::string&)> disableTermination,
                                        std::function<void(const std::string&)> enableTermination);
};

// The build's own number ("CFBundleVersion" of the product's bundle).
long VRNUpdaterInstalledVersion();
// The update server's host: the defaults' "UServer" when it is a non-empty string, else the
// build's host.
std::string VRNUpdaterServerHost(prefs::Domain& defaults);

class VRNUpdater : public std::enable_shared_from_this<VRNUpdater> {
public:
    using InfoHandler =
        std::function<void(std::optional<plist::Dictionary> item, std::optional<VRNError> error)>;
    using ErrorHandler = std::function<void(std::optional<VRNError> error)>;

    // The assertion that holds the activity back while the network is away, and the one a
    // client-requested installation puts on it.
    static constexpr const char* kWaitingForNetworkAssertion = "waiting for network";
    static constexpr const char* kUpdateAssertion = "update";
    // Client-requested checks allowed per hour.
    static constexpr std::size_t kRequestsPerHour = 6;
    // Size caps of the feed and of a package.
    static constexpr std::size_t kFeedSizeLimit = std::size_t{1} << 20;
    static constexpr std::size_t kPackageSizeLimit = std::size_t{512} << 20;

    // The work queue targets `queue`.
    static std::shared_ptr<VRNUpdater>
    initWithQueue(dispatch::QueuePtr queue, std::weak_ptr<VRNUpdateManagerDelegate> delegate,
                  VRNUpdaterEnvironment environment);

    std::string feedURL();
    void setFeedURL(const std::string& value);
    std::string downloadURL();
    void setDownloadURL(const std::string& value);
    std::string supportURL();
    void setSupportURL(const std::string& value);
    std::string teamID();
    void setTeamID(const std::string& value);
    std::optional<std::string> downloadHost();
    void setDownloadHost(const std::optional<std::string>& value);
    long mode();
    void setMode(long value);
    plist::Dictionary activityInformation();

    void start();
    void stop();
    void addAssertion(const std::string& name);
    void removeAssertion(const std::string& name);
    void fetchUpdateInformationWithQueue(dispatch::QueuePtr queue, InfoHandler completionHandler);
    void performUpdateWithQueue(dispatch::QueuePtr queue, ErrorHandler completionHandler);

    // "beta" → 1, "test" → 2, anything else → 0.
    static long updaterModeFromString(const std::string& mode);
    // A dotted version into major, minor and patch; missing or non-numeric parts count as 0.
    static VRNOperatingSystemVersion systemVersionFromString(const std::string& version);

private:
    using ItemHandler =
        std::function<void(std::optional<plist::Dictionary> item, std::optional<VRNError> error)>;
    using PathHandler =
        std::function<void(std::optional<std::string> path, std::optional<VRNError> error)>;

    VRNUpdater(dispatch::QueuePtr queue, std::weak_ptr<VRNUpdateManagerDelegate> delegate,
               VRNUpdaterEnvironment environment);

    void _start();
    void _stop();
    void _performActivityWithCompletionHandler(VRNActivity::CompletionHandler completionHandler);
    void _finishAttempt(const std::optional<VRNError>& error,
                        const VRNActivity::CompletionHandler& completionHandler);
    void _fetchUpdateInformationWithQueue(dispatch::QueuePtr queue, InfoHandler completionHandler);
    void _performUpdateWithQueue(dispatch::QueuePtr queue, ErrorHandler completionHandler);
    void _fetchInfoWithCompletionHandler_(ItemHandler completionHandler);
    std::optional<plist::Dictionary> _processInfo_(const plist::Dictionary& info,
                                                   std::optional<VRNError>* error);
    bool _phaseAllows(const plist::Dictionary& item);
    void _downloadValidatePrepareAndInstallPackageAtURL(const std::string& url, bool background,
                                                        ErrorHandler completionHandler);
    void _validatePrepareAndInstallPackageAtURL(const std::string& path, bool background,
                                                ErrorHandler completionHandler);
    void _downloadPackageAtURL_(const std::string& url, PathHandler completionHandler);
    bool _movePackageAtURL_(const std::string& from, const std::string& to, VRNError* error);
    bool _validatePackageAtURL_(const std::string& path, VRNError* error);
    void _installPackageAtURL_(const std::string& path, ErrorHandler completionHandler);
    unsigned long _handleError(const VRNError& error);
    bool _startNetworkMonitoring();
    void _stopNetworkMonitoring();
    void networkReachabilityChanged(bool reachable);
    void _setDownloaded(bool downloaded);
    VRNError _transportError(long code, const http::Response& response);
    http::Client& URLSession();
    void deletePackage();
    // Temporaries of downloads a previous process did not finish.
    void removeInterruptedDownloads();
    std::string markerPath(const char* name);
    std::shared_ptr<VRNUpdateManagerDelegate> delegate() const { return _delegate.lock(); }

    const VRNUpdaterEnvironment environment_;

    std::string _feedURL;
    std::string _downloadURL;
    std::string _supportURL;
    std::string _teamID;
    std::optional<std::string> _downloadHost;
    long _mode = 0;
    dispatch::LockQueue _internalLock{"com.vornhal.updater.lock"};
    dispatch::QueuePtr _internalQueue;
    std::unique_ptr<reachability::Reachability> _networkReachability;
    std::shared_ptr<VRNActivity> _activity;
    std::shared_ptr<http::Client> _URLSession;
    std::set<std::string> _assertions;
    std::optional<std::string> _updateURL;
    std::optional<VRNError> _trustError;
    std::vector<cal::Date> _requestDates;
    std::weak_ptr<VRNUpdateManagerDelegate> _delegate;
    bool _waitingForNetwork = false;
    bool _started = false;
    bool _running = false;
    bool _downloaded = false;
    bool _detectedFailure = false;
};

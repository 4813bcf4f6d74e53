#include "scheduler/updater/VRNUpdater.h"

#include "common/VRNDateComponents.h"
#include "common/VRNLog.h"
#include "common/VRNProcessInfo.h"
#include "common/VRNProductVersion.h"
#include "common/VRNQueue.h"
#include "common/VRNUpdaterErrors.h"
#include "platform/files/Files.h"
#include "platform/plist/Plist.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The domain of errors passed on from the HTTPS client and the file system, carrying their
// own text.
constexpr const char* kTransportErrorDomain = "com.vornhal.http";
constexpr const char* kFileErrorDomain = "com.vornhal.files";
constexpr const char* kPropertyListErrorDomain = "com.vornhal.plist";

// Reachability's flags as "Network came back (%x)." prints them: reachable.
constexpr unsigned kReachableFlags = 0x2;

// A marker holds "1" or "2"; anything longer is not one.
constexpr std::size_t kMarkerSizeLimit = 16;

// Downloads in progress, beside the markers.
constexpr const char* kDownloadPrefix = ".download.";

constexpr double kRequestWindowSeconds = 3600.0;
constexpr long kDefaultIntervalDays = 5;

VRNError passedOn(const char* domain, long code, const std::string& text) {
    return VRNError(domain, code, {{VRNLocalizedDescriptionKey, plist::Value(text)}});
}

VRNError updaterError(long code, VRNUserInfo info = {}) {
    return VRNError::errorWithDomain(VRNUpdaterErrorDomain, code, std::move(info));
}

VRNError updaterError(long code, const VRNError& underlying) {
    return updaterError(code, VRNUserInfo(plist::Dictionary{}, underlying));
}

VRNError statusError(long code, long status) {
    return updaterError(code, {{"status-code", plist::Value(static_cast<std::int64_t>(status))}});
}

const plist::Value* member(const plist::Dictionary& dictionary, const char* key) {
    auto found = dictionary.find(key);
    return found == dictionary.end() ? nullptr : &found->second;
}

std::string stringOf(const plist::Value* value) {
    return value && value->asString() ? *value->asString() : std::string();
}

// A number's integer value; anything else counts as 0.
std::int64_t integerOf(const plist::Value* value) {
    return value && value->isNumber() ? value->asInteger().value_or(0) : 0;
}

// "UInterval" days: 1 to 14, else the default.
long intervalDays(prefs::Domain& defaults) {
    const auto stored = defaults.value("UInterval");
    const std::int64_t days = stored ? integerOf(&*stored) : 0;
    return days >= 1 && days <= 14 ? static_cast<long>(days) : kDefaultIntervalDays;
}

bool exists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

} // namespace

VRNUpdaterEnvironment
VRNUpdaterEnvironment::system(std::shared_ptr<prefs::Domain> defaults,
                              std::function<void(const std::string&)> disableTermination,
                              std::function<void(const std::string&)> enableTermination) {
    VRNUpdaterEnvironment made;
    made.activity = VRNActivity::sharedEnvironment();
    made.defaults = std::move(defaults);
    made.versions = VRNEnvironment::shared().versions;
    made.disableTermination = std::move(disableTermination);
    made.enableTermination = std::move(enableTermination);
    made.installedVersion = VRNUpdaterInstalledVersion();
    made.random = made.activity.random;
    made.makeClient = [](dispatch::QueuePtr queue) {
        return http::createClient(std::move(queue));
    };
    made.makeReachability = [] {
        return reachability::Reachability::system();
    };
    made.trust = VRNInstallerPackageTrust::shared();
    return made;
}

long VRNUpdaterInstalledVersion() {
    return static_cast<long>(VRNProductBuildNumber());
}

std::string VRNUpdaterServerHost(prefs::Domain& defaults) {
    if (auto server = defaults.value("UServer");
        server && server->asString() && !server->asString()->empty()) {
        return *server->asString();
    }
    return KEELBROOK_UPDATE_HOST;
}

std::shared_ptr<VRNUpdater>
VRNUpdater::initWithQueue(dispatch::QueuePtr queue,
                          std::weak_ptr<VRNUpdateManagerDelegate> delegate,
                          VRNUpdaterEnvironment environment) {
    return std::shared_ptr<VRNUpdater>(
        new VRNUpdater(std::move(queue), std::move(delegate), std::move(environment)));
}

VRNUpdater::VRNUpdater(dispatch::QueuePtr queue, std::weak_ptr<VRNUpdateManagerDelegate> delegate,
                       VRNUpdaterEnvironment environment)
    : environment_(std::move(environment)),
      _internalQueue(VRNQueueCreate("com.vornhal.update-manager", std::move(queue))),
      _delegate(std::move(delegate)) {
    _activity = VRNActivity::initWithIdentifier(VRNProcessInfo::productIdentifier() + ".updater",
                                                environment_.activity);
    prefs::Domain& defaults = *environment_.defaults;
    for (auto [key, result] : {std::pair{"ULastCheck", VRNActivityResultFinished},
                               std::pair{"ULastTry", VRNActivityResultFailed}}) {
        if (auto date = defaults.value(key)) {
            if (auto when = date->asDate()) {
                _activity->setDate(when->secondsSinceReferenceDate, result);
            }
            defaults.removeValue(key);
        }
    }
}

// Configuration.

std::string VRNUpdater::feedURL() {
    return _internalLock.sync([&] { return _feedURL; });
}
void VRNUpdater::setFeedURL(const std::string& value) {
    _internalLock.sync([&] { _feedURL = value; });
}
std::string VRNUpdater::downloadURL() {
    return _internalLock.sync([&] { return _downloadURL; });
}
void VRNUpdater::setDownloadURL(const std::string& value) {
    _internalLock.sync([&] { _downloadURL = value; });
}
std::string VRNUpdater::supportURL() {
    return _internalLock.sync([&] { return _supportURL; });
}
void VRNUpdater::setSupportURL(const std::string& value) {
    _internalLock.sync([&] { _supportURL = value; });
}
std::string VRNUpdater::teamID() {
    return _internalLock.sync([&] { return _teamID; });
}
void VRNUpdater::setTeamID(const std::string& value) {
    _internalLock.sync([&] { _teamID = value; });
}
std::optional<std::string> VRNUpdater::downloadHost() {
    return _internalLock.sync([&] { return _downloadHost; });
}
void VRNUpdater::setDownloadHost(const std::optional<std::string>& value) {
    _internalLock.sync([&] { _downloadHost = value; });
}
long VRNUpdater::mode() {
    return _internalLock.sync([&] { return _mode; });
}
void VRNUpdater::setMode(long value) {
    _internalLock.sync([&] { _mode = value; });
}

plist::Dictionary VRNUpdater::activityInformation() {
    return _activity->information();
}

long VRNUpdater::updaterModeFromString(const std::string& mode) {
    if (mode == "beta") {
        return 1;
    }
    if (mode == "test") {
        return 2;
    }
    return 0;
}

VRNOperatingSystemVersion VRNUpdater::systemVersionFromString(const std::string& version) {
    long parts[3] = {0, 0, 0};
    std::size_t begin = 0;
    for (int i = 0; i < 3 && begin <= version.size(); ++i) {
        std::size_t end = version.find('.', begin);
        if (end == std::string::npos) {
            end = version.size();
        }
        const std::string part = version.substr(begin, end - begin);
        parts[i] = std::strtol(part.c_str(), nullptr, 10);
        begin = end + 1;
    }
    return {parts[0], parts[1], parts[2]};
}

std::string VRNUpdater::markerPath(const char* name) {
    std::string folder = supportURL();
    if (!folder.empty() && folder.back() != '/') {
        folder += '/';
    }
    return folder + name;
}

// Start and stop.

void VRNUpdater::start() {
    _internalQueue->async([self = shared_from_this()] { self->_start(); });
}

void VRNUpdater::stop() {
    _internalQueue->async([self = shared_from_this()] { self->_stop(); });
}

void VRNUpdater::_start() {
    if (_started) {
        return;
    }
    _started = true;
    prefs::Domain& defaults = *environment_.defaults;
    if (!supportURL().empty()) {
        removeInterruptedDownloads();
        const std::string updating = markerPath(".updating");
        const std::string updated = markerPath(".updated");
        if (exists(updating)) {
            const auto text =
                files::readFile(updating, kMarkerSizeLimit, files::Symlinks::DoNotFollow);
            ::unlink(updating.c_str());
            if (text && std::string(text->begin(), text->end()) == "1") {
                _detectedFailure = true;
            } else {
                _activity->setDate(VRNDateNow(), VRNActivityResultFailed);
                if (auto owner = delegate()) {
                    owner->updateFailedWithError(updaterError(VRNUpdaterErrorInstallFailed));
                }
            }
        } else if (exists(updated)) {
            ::unlink(updated.c_str());
            _activity->setDate(VRNDateNow(), VRNActivityResultFinished);
            defaults.removeValue("UStartDate");
        } else if (auto start = defaults.value("UStartDate")) {
            if (auto when = start->asDate()) {
                _activity->setDate(when->secondsSinceReferenceDate, VRNActivityResultFinished);
            }
            defaults.removeValue("UStartDate");
        }
    }
    auto criteria = std::make_shared<VRNActivityCriteria>();
    criteria->setInterval(componentsWithDays(intervalDays(defaults)));
    criteria->setLeeway(
        VRNActivityLeeway::activityLeewayWithDateComponents(componentsWithHours(1)));
    criteria->setFailureDelay(componentsWithDays(1));
    criteria->setStartRange(0.75);
    criteria->setAllowBattery(true);
    _activity->setCriteria(criteria);
    std::weak_ptr<VRNUpdater> weak = shared_from_this();
    _activity->scheduleWithQueue(_internalQueue, [weak](VRNActivity::CompletionHandler done) {
        if (auto self = weak.lock()) {
            self->_performActivityWithCompletionHandler(std::move(done));
        }
    });
    VRNLog(VRNLogLevelDebug, "Updater started.");
}

void VRNUpdater::_stop() {
    if (!_started) {
        return;
    }
    _started = false;
    _activity->unschedule();
    if (_waitingForNetwork) {
        _stopNetworkMonitoring();
    }
    if (!_running) {
        _setDownloaded(false);
    }
    VRNLog(VRNLogLevelDebug, "Updater stopped.");
}

// Automatic attempts.

void VRNUpdater::_performActivityWithCompletionHandler(
    VRNActivity::CompletionHandler completionHandler) {
    VRNLog(VRNLogLevelDefault, "Checking for updates now.");
    environment_.disableTermination("update");
    _running = true;
    if (!supportURL().empty()) {
        const std::string content = _detectedFailure ? "2" : "1";
        files::Descriptor marker =
            files::openFile(markerPath(".updating"), O_WRONLY | O_CREAT | O_TRUNC, 0644,
                            files::Symlinks::DoNotFollow);
        if (marker.valid()) {
            files::writeAll(marker.get(), plist::bytesOf(content), ".updating");
        }
    }
    std::weak_ptr<VRNUpdater> weak = shared_from_this();
    ErrorHandler finish = [weak, completionHandler](std::optional<VRNError> error) {
        auto self = weak.lock();
        if (self && error) {
            self->_finishAttempt(*error, completionHandler);
        }
    };
    if (_internalLock.sync([&] { return _downloaded; })) {
        VRNLog(VRNLogLevelDefault, "Update already downloaded, will install now.");
        _validatePrepareAndInstallPackageAtURL(downloadURL(), true, finish);
        return;
    }
    _fetchInfoWithCompletionHandler_(
        [weak, finish](std::optional<plist::Dictionary> item, std::optional<VRNError> error) {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            if (error) {
                finish(error);
            } else if (!self->_phaseAllows(*item)) {
                finish(updaterError(VRNUpdaterErrorPhasedDeferral));
            } else {
                self->_downloadValidatePrepareAndInstallPackageAtURL(stringOf(member(*item, "URL")),
                                                                     true, finish);
            }
        });
}

void VRNUpdater::_finishAttempt(const std::optional<VRNError>& error,
                                const VRNActivity::CompletionHandler& completionHandler) {
    if (!_started) {
        _setDownloaded(false);
    }
    if (auto owner = delegate()) {
        owner->updateFailedWithError(*error);
    }
    completionHandler(_handleError(*error));
    if (!supportURL().empty()) {
        ::unlink(markerPath(".updating").c_str());
    }
    _detectedFailure = false;
    _running = false;
    environment_.enableTermination("update");
}

bool VRNUpdater::_phaseAllows(const plist::Dictionary& item) {
    const plist::Value* phase = member(item, "Phase");
    if (phase == nullptr) {
        return true;
    }
    const double limit = phase->isNumber() ? phase->asReal().value_or(0.0) : 0.0;
    const double draw = environment_.random() / 4294967295.0 * 100.0;
    VRNLog(VRNLogLevelDebug, "Phased update %f / %f.", draw, limit);
    return draw < limit;
}

unsigned long VRNUpdater::_handleError(const VRNError& error) {
    if (error.domain() != VRNUpdaterErrorDomain) {
        return VRNActivityResultFinished;
    }
    switch (error.code()) {
    case VRNUpdaterErrorFetchFailed:
    case VRNUpdaterErrorDownloadFailed: {
        const plist::Value* status = member(error.userInfo(), "status-code");
        if (status && integerOf(status) == 403) {
            return VRNActivityResultFinished;
        }
        return _startNetworkMonitoring() ? VRNActivityResultDeferred : VRNActivityResultFailed;
    }
    case VRNUpdaterErrorReadFailed:
    case VRNUpdaterErrorInvalidInformation:
    case VRNUpdaterErrorMoveFailed:
    case VRNUpdaterErrorUntrustedServer:
        return VRNActivityResultFailed;
    case VRNUpdaterErrorValidationFailed:
    case VRNUpdaterErrorInstallFailed:
        _setDownloaded(false);
        return VRNActivityResultFailed;
    case VRNUpdaterErrorNotNow:
        // A stopped updater keeps nothing: its package would wait for a start that may
        // never come.
        if (_started) {
            _setDownloaded(true);
        } else {
            deletePackage();
        }
        return VRNActivityResultDeferred;
    default:
        return VRNActivityResultFinished;
    }
}

// Client requests.

void VRNUpdater::fetchUpdateInformationWithQueue(dispatch::QueuePtr queue,
                                                 InfoHandler completionHandler) {
    _internalQueue->async([self = shared_from_this(), queue = std::move(queue),
                           completionHandler = std::move(completionHandler)]() mutable {
        self->_fetchUpdateInformationWithQueue(std::move(queue), std::move(completionHandler));
    });
}

void VRNUpdater::_fetchUpdateInformationWithQueue(dispatch::QueuePtr queue,
                                                  InfoHandler completionHandler) {
    VRNLog(VRNLogLevelDefault, "Update check requested.");
    const cal::Date now = VRNDateNow();
    // Dates after now are from before the clock was set back: they no longer count.
    std::erase_if(_requestDates, [now](cal::Date date) {
        return now - date > kRequestWindowSeconds || date > now;
    });
    if (_requestDates.size() >= kRequestsPerHour) {
        VRNError error = updaterError(VRNUpdaterErrorTooManyRequests);
        queue->async([completionHandler, error] { completionHandler(std::nullopt, error); });
        return;
    }
    _requestDates.push_back(now);
    std::weak_ptr<VRNUpdater> weak = shared_from_this();
    _fetchInfoWithCompletionHandler_(
        [weak, queue, completionHandler](std::optional<plist::Dictionary> item,
                                         std::optional<VRNError> error) {
            if (auto self = weak.lock(); self && item) {
                self->_updateURL = stringOf(member(*item, "URL"));
            }
            queue->async([completionHandler, item, error] { completionHandler(item, error); });
        });
}

void VRNUpdater::performUpdateWithQueue(dispatch::QueuePtr queue, ErrorHandler completionHandler) {
    _internalQueue->async([self = shared_from_this(), queue = std::move(queue),
                           completionHandler = std::move(completionHandler)]() mutable {
        self->_performUpdateWithQueue(std::move(queue), std::move(completionHandler));
    });
}

void VRNUpdater::_performUpdateWithQueue(dispatch::QueuePtr queue, ErrorHandler completionHandler) {
    if (_running || !_updateURL) {
        queue->async([completionHandler] { completionHandler(std::nullopt); });
        return;
    }
    environment_.disableTermination("update");
    _running = true;
    _activity->addAssertion(kUpdateAssertion);
    _setDownloaded(false);
    std::weak_ptr<VRNUpdater> weak = shared_from_this();
    ErrorHandler finish = [weak, queue, completionHandler](std::optional<VRNError> error) {
        if (auto self = weak.lock(); self && error) {
            self->_activity->removeAssertion(kUpdateAssertion);
            self->_running = false;
            self->environment_.enableTermination("update");
        }
        queue->async([completionHandler, error] { completionHandler(error); });
    };
    auto owner = delegate();
    VRNError refusal(VRNUpdaterErrorDomain, VRNUpdaterErrorNotNow);
    if (!owner || !owner->prepareForUpdateInBackground(false, &refusal)) {
        finish(owner ? updaterError(VRNUpdaterErrorNotNow, refusal)
                     : updaterError(VRNUpdaterErrorNotNow));
        return;
    }
    // Every failure after a successful preparation undoes it.
    ErrorHandler unprepareOnFailure = [weak, finish](std::optional<VRNError> error) {
        if (auto self = weak.lock(); self && error) {
            if (auto o = self->delegate()) {
                o->unprepareForUpdate();
            }
        }
        finish(error);
    };
    _downloadPackageAtURL_(*_updateURL, [weak, unprepareOnFailure](std::optional<std::string> path,
                                                                   std::optional<VRNError> error) {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        if (error) {
            unprepareOnFailure(error);
            return;
        }
        VRNError invalid(VRNUpdaterErrorDomain, VRNUpdaterErrorValidationFailed);
        if (!self->_validatePackageAtURL_(*path, &invalid)) {
            self->deletePackage();
            unprepareOnFailure(invalid);
            return;
        }
        self->_installPackageAtURL_(*path, [weak, unprepareOnFailure](std::optional<VRNError> e) {
            if (auto s = weak.lock(); s && e) {
                s->deletePackage();
            }
            unprepareOnFailure(e);
        });
    });
}

// The feed.

VRNError VRNUpdater::_transportError(long code, const http::Response& response) {
    const VRNError system = passedOn(kTransportErrorDomain, response.errorCode, response.error);
    if (response.untrusted) {
        VRNLog(VRNLogLevelDebug, "Trust cancelled.");
        _trustError = updaterError(VRNUpdaterErrorUntrustedServer, system);
    }
    if (_trustError) {
        const VRNError trust = *_trustError;
        _trustError.reset();
        return updaterError(code, trust);
    }
    return updaterError(code, system);
}

http::Client& VRNUpdater::URLSession() {
    if (!_URLSession) {
        _URLSession = environment_.makeClient(_internalQueue);
    }
    return *_URLSession;
}

void VRNUpdater::_fetchInfoWithCompletionHandler_(ItemHandler completionHandler) {
    VRNLog(VRNLogLevelInfo, "Will fetch update info.");
    std::weak_ptr<VRNUpdater> weak = shared_from_this();
    URLSession().get(
        {feedURL(), kFeedSizeLimit, -1}, [weak, completionHandler](http::Response response) {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            if (response.failed()) {
                completionHandler(std::nullopt,
                                  self->_transportError(VRNUpdaterErrorFetchFailed, response));
                return;
            }
            VRNLog(VRNLogLevelDebug, "Trust challenge accepted.");
            if (response.status != 200) {
                completionHandler(std::nullopt,
                                  statusError(VRNUpdaterErrorFetchFailed, response.status));
                return;
            }
            VRNLog(VRNLogLevelInfo, "Did fetch update info.");
            std::string problem;
            auto info = plist::read(response.body, kFeedSizeLimit, &problem);
            if (!info || !info->asDictionary()) {
                if (info) {
                    problem = "the update information is not a dictionary";
                }
                completionHandler(std::nullopt,
                                  updaterError(VRNUpdaterErrorReadFailed,
                                               passedOn(kPropertyListErrorDomain, 0, problem)));
                return;
            }
            std::optional<VRNError> error;
            auto item = self->_processInfo_(*info->asDictionary(), &error);
            completionHandler(item, error);
        });
}

std::optional<plist::Dictionary> VRNUpdater::_processInfo_(const plist::Dictionary& info,
                                                           std::optional<VRNError>* error) {
    VRNLog(VRNLogLevelInfo, "Will process update info.");
    const long currentMode = mode();
    const plist::Dictionary* chosen = nullptr;
    const plist::Value* items = member(info, "Items");
    if (items && items->asArray()) {
        for (const plist::Value& entry : *items->asArray()) {
            const plist::Dictionary* item = entry.asDictionary();
            if (item == nullptr) {
                continue;
            }
            const plist::Value* kind = member(*item, "Kind");
            if (kind && updaterModeFromString(stringOf(kind)) != currentMode) {
                continue;
            }
            if (const plist::Value* minimum = member(*item, "MinimumOSVersion")) {
                const auto v = systemVersionFromString(stringOf(minimum));
                if (!environment_.versions->runningAtLeastVersion(v.majorVersion, v.minorVersion,
                                                                  v.patchVersion)) {
                    continue;
                }
            }
            chosen = item;
            break;
        }
    }
    if (chosen == nullptr) {
        *error = updaterError(VRNUpdaterErrorAlreadyLatest);
        return std::nullopt;
    }
    const plist::Dictionary& item = *chosen;
    if (const plist::Value* interval = member(item, "CheckInterval");
        interval && interval->isNumber()) {
        const std::int64_t days = integerOf(interval);
        if (days >= 1 && days <= 14) {
            auto criteria = _activity->criteria();
            if (_started && criteria &&
                (!criteria->interval() || criteria->interval()->day != days)) {
                auto changed = criteria->copy();
                changed->setInterval(componentsWithDays(static_cast<long>(days)));
                _activity->setCriteria(changed);
                VRNLog(VRNLogLevelDefault, "Changed update check interval to %ld days.",
                       static_cast<long>(days));
            }
            environment_.defaults->setValue("UInterval", plist::Value(days));
        }
    }
    const long version = static_cast<long>(integerOf(member(item, "Version")));
    if (version <= environment_.installedVersion) {
        *error = updaterError(VRNUpdaterErrorAlreadyLatest);
        return std::nullopt;
    }
    const std::string url = stringOf(member(item, "URL"));
    const auto host = http::hostOfURL(url);
    const auto expected = downloadHost();
    if (host && (!expected || *host == *expected)) {
        const plist::Value* human = member(item, "HumanVersion");
        VRNLog(VRNLogLevelInfo, "New version available: %@ (latest: %ld, current: %ld).",
               human ? plist::description(*human) : std::string("(null)"), version,
               environment_.installedVersion);
        return item;
    }
    *error = updaterError(VRNUpdaterErrorInvalidInformation,
                          {{"info", plist::Value(plist::description(plist::Value(item)))}});
    return std::nullopt;
}

// Download, validation and installation.

void VRNUpdater::_downloadValidatePrepareAndInstallPackageAtURL(const std::string& url,
                                                                bool background,
                                                                ErrorHandler completionHandler) {
    std::weak_ptr<VRNUpdater> weak = shared_from_this();
    _downloadPackageAtURL_(
        url, [weak, background, completionHandler](std::optional<std::string> path,
                                                   std::optional<VRNError> error) {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            if (error) {
                completionHandler(error);
                return;
            }
            self->_validatePrepareAndInstallPackageAtURL(*path, background, completionHandler);
        });
}

void VRNUpdater::_validatePrepareAndInstallPackageAtURL(const std::string& path, bool background,
                                                        ErrorHandler completionHandler) {
    VRNError invalid(VRNUpdaterErrorDomain, VRNUpdaterErrorValidationFailed);
    if (!_validatePackageAtURL_(path, &invalid)) {
        deletePackage();
        completionHandler(invalid);
        return;
    }
    auto owner = delegate();
    VRNError refusal(VRNUpdaterErrorDomain, VRNUpdaterErrorNotNow);
    if (!owner || !owner->prepareForUpdateInBackground(background, &refusal)) {
        completionHandler(owner ? updaterError(VRNUpdaterErrorNotNow, refusal)
                                : updaterError(VRNUpdaterErrorNotNow));
        return;
    }
    std::weak_ptr<VRNUpdater> weak = shared_from_this();
    _installPackageAtURL_(path, [weak, completionHandler](std::optional<VRNError> error) {
        if (auto self = weak.lock(); self && error) {
            self->deletePackage();
            if (auto o = self->delegate()) {
                o->unprepareForUpdate();
            }
        }
        completionHandler(error);
    });
}

void VRNUpdater::_downloadPackageAtURL_(const std::string& url, PathHandler completionHandler) {
    VRNLog(VRNLogLevelInfo, "Will download update package.");
    const std::string destination = downloadURL();
    // The temporary lives beside the markers (the download's own folder without them) and
    // is created new, so nothing already there is written through.
    std::string folder = supportURL().empty() ? files::parentOf(destination) : supportURL();
    if (folder.back() != '/') {
        folder += '/';
    }
    std::string temporary = folder + kDownloadPrefix + "XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        completionHandler(std::nullopt, updaterError(VRNUpdaterErrorDownloadFailed,
                                                     passedOn(kFileErrorDomain, errno,
                                                              "cannot create " + temporary + ": " +
                                                                  std::strerror(errno))));
        return;
    }
    std::weak_ptr<VRNUpdater> weak = shared_from_this();
    URLSession().get({url, kPackageSizeLimit, fd}, [weak, fd, temporary, destination,
                                                    completionHandler](http::Response response) {
        ::close(fd);
        auto self = weak.lock();
        if (!self) {
            ::unlink(temporary.c_str());
            return;
        }
        if (response.failed()) {
            ::unlink(temporary.c_str());
            completionHandler(std::nullopt,
                              self->_transportError(VRNUpdaterErrorDownloadFailed, response));
            return;
        }
        VRNLog(VRNLogLevelDebug, "Trust challenge accepted.");
        if (response.status != 200) {
            ::unlink(temporary.c_str());
            completionHandler(std::nullopt,
                              statusError(VRNUpdaterErrorDownloadFailed, response.status));
            return;
        }
        VRNLog(VRNLogLevelInfo, "Did download update package.");
        VRNError moveError(VRNUpdaterErrorDomain, VRNUpdaterErrorMoveFailed);
        if (!self->_movePackageAtURL_(temporary, destination, &moveError)) {
            ::unlink(temporary.c_str());
            completionHandler(std::nullopt, moveError);
            return;
        }
        completionHandler(destination, std::nullopt);
    });
}

bool VRNUpdater::_movePackageAtURL_(const std::string& from, const std::string& to,
                                    VRNError* error) {
    VRNLog(VRNLogLevelInfo, "Will move update package to %@", to);
    ::unlink(to.c_str());
    // rename replaces whatever is at `to` (a symbolic link included) without following it.
    if (::rename(from.c_str(), to.c_str()) != 0) {
        *error =
            updaterError(VRNUpdaterErrorMoveFailed, passedOn(kFileErrorDomain, errno,
                                                             "cannot move " + from + " to " + to +
                                                                 ": " + std::strerror(errno)));
        return false;
    }
    VRNLog(VRNLogLevelInfo, "Did move update package.");
    return true;
}

bool VRNUpdater::_validatePackageAtURL_(const std::string& path, VRNError* error) {
    VRNLog(VRNLogLevelInfo, "Will validate update package.");
    struct stat before {};
    if (::lstat(path.c_str(), &before) == 0 && S_ISLNK(before.st_mode)) {
        *error = updaterError(VRNUpdaterErrorValidationFailed);
        return false;
    }
    VRNError problem(VRNInstallerPackageErrorDomain, VRNInstallerPackageErrorCannotRead);
    auto package = VRNInstallerPackage::initWithFileAtURL(path, &problem, environment_.trust);
    if (!package || !package->validateSignaturesWithTeamID(teamID(), &problem)) {
        *error = updaterError(VRNUpdaterErrorValidationFailed, problem);
        return false;
    }
    // The file handed to the owner is the one just validated, not one put in its place.
    struct stat after {};
    if (::lstat(path.c_str(), &after) != 0 || after.st_dev != before.st_dev ||
        after.st_ino != before.st_ino || !S_ISREG(after.st_mode)) {
        *error = updaterError(VRNUpdaterErrorValidationFailed);
        return false;
    }
    VRNLog(VRNLogLevelInfo, "Did validate update package.");
    return true;
}

void VRNUpdater::_installPackageAtURL_(const std::string& path, ErrorHandler completionHandler) {
    VRNLog(VRNLogLevelDefault, "Installing package now.");
    auto owner = delegate();
    if (!owner) {
        completionHandler(updaterError(VRNUpdaterErrorInstallFailed));
        return;
    }
    owner->updateWithPackageAtURL(
        path, _internalQueue, [completionHandler](std::optional<VRNError> error) {
            if (error) {
                completionHandler(updaterError(VRNUpdaterErrorInstallFailed, *error));
            } else {
                completionHandler(std::nullopt);
            }
        });
}

void VRNUpdater::removeInterruptedDownloads() {
    const std::string folder = markerPath("");
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (dirent* entry = ::readdir(dir)) {
            if (std::string_view(entry->d_name).starts_with(kDownloadPrefix)) {
                ::unlinkat(::dirfd(dir), entry->d_name, 0);
            }
        }
        ::closedir(dir);
    }
}

void VRNUpdater::deletePackage() {
    ::unlink(downloadURL().c_str());
}

// Downloaded state and assertions.

void VRNUpdater::_setDownloaded(bool downloaded) {
    _internalLock.sync([&] {
        if (downloaded && !_downloaded) {
            _downloaded = true;
            for (const auto& name : _assertions) {
                _activity->addAssertion(name);
            }
        } else if (!downloaded && _downloaded) {
            _downloaded = false;
            ::unlink(_downloadURL.c_str());
            for (const auto& name : _assertions) {
                _activity->removeAssertion(name);
            }
        }
    });
}

void VRNUpdater::addAssertion(const std::string& name) {
    _internalLock.sync([&] {
        _assertions.insert(name);
        if (_downloaded) {
            _activity->addAssertion(name);
        }
    });
}

void VRNUpdater::removeAssertion(const std::string& name) {
    _internalLock.sync([&] {
        _assertions.erase(name);
        _activity->removeAssertion(name);
    });
}

// Waiting for the network.

bool VRNUpdater::_startNetworkMonitoring() {
    if (_waitingForNetwork) {
        return true;
    }
    if (!_networkReachability) {
        _networkReachability = environment_.makeReachability();
    }
    if (!_networkReachability || _networkReachability->reachable()) {
        return false;
    }
    std::weak_ptr<VRNUpdater> weak = shared_from_this();
    std::string problem;
    if (!_networkReachability->start(
            _internalQueue,
            [weak](bool reachable) {
                if (auto self = weak.lock()) {
                    self->networkReachabilityChanged(reachable);
                }
            },
            &problem)) {
        return false;
    }
    _waitingForNetwork = true;
    _activity->addAssertion(kWaitingForNetworkAssertion);
    VRNLog(VRNLogLevelDefault, "Can't reach update server, waiting for network...");
    return true;
}

void VRNUpdater::networkReachabilityChanged(bool reachable) {
    if (!_waitingForNetwork || !reachable) {
        return;
    }
    VRNLog(VRNLogLevelDefault, "Network came back (%x).", kReachableFlags);
    _stopNetworkMonitoring();
}

void VRNUpdater::_stopNetworkMonitoring() {
    _networkReachability->stop();
    _waitingForNetwork = false;
    _activity->removeAssertion(kWaitingForNetworkAssertion);
}

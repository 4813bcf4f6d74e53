#include "scheduler/activity/VRNActivityManager.h"

#include "common/VRNLog.h"
#include "common/VRNQueue.h"
#include "platform/calendar/BootDate.h"
#include "platform/paths/Paths.h"

VRNActivityManager& VRNActivityManager::sharedManager() {
    static VRNActivityManager* const manager = [] {
        const VRNEnvironment& environment = VRNEnvironment::shared();
        auto* m = new VRNActivityManager(
            environment, std::make_shared<prefs::Domain>(kDomain, prefs::Scope::System),
            cal::sharedCalendar(), readBootDate());
        // Follow the system time zone; the watcher moves the shared calendar to it first.
        std::string error;
        m->_timeZoneWatcher = cal::TimeZoneWatcher::start(
            VRNQueueCreate("com.vornhal.activity-manager.time-zone", environment.logicQueue),
            &error);
        if (m->_timeZoneWatcher) {
            m->_timeZoneWatcher->addObserver(
                [m](const std::string&) { m->systemTimeZoneDidChange(); });
        }
        return m;
    }();
    return *manager;
}

VRNActivityManager::VRNActivityManager(const VRNEnvironment& environment,
                                       std::shared_ptr<prefs::Domain> defaults,
                                       cal::Calendar& calendar, std::optional<cal::Date> bootDate)
    : _notifications(*environment.notifications), _defaults(std::move(defaults)),
      _activities(activitiesFromDefaults(*_defaults)), _bootDate(bootDate), _calendar(calendar) {
    logFileProblem();
}

void VRNActivityManager::logFileProblem() {
    // The store reads an unreadable file as empty and keeps it aside; say so in the log.
    if (auto problem = _defaults->takeFileProblem()) {
        VRNLog(VRNLogLevelError, "%@", *problem);
    }
}

std::optional<cal::Date> VRNActivityManager::readBootDate() {
    return cal::readBootDate(paths::path("/proc/stat"));
}

std::map<std::string, plist::Dictionary>
VRNActivityManager::activitiesFromDefaults(prefs::Domain& domain) {
    std::map<std::string, plist::Dictionary> activities;
    auto stored = domain.value(kActivitiesKey);
    const plist::Dictionary* all = stored ? stored->asDictionary() : nullptr;
    if (all == nullptr) {
        return activities;
    }
    for (const auto& [identifier, values] : *all) {
        if (const plist::Dictionary* dictionary = values.asDictionary()) {
            activities.emplace(identifier, *dictionary);
        }
    }
    return activities;
}

std::optional<plist::Value> VRNActivityManager::objectForKey(const std::string& key,
                                                             const std::string& activity) {
    return _internalLock.sync([&]() -> std::optional<plist::Value> {
        auto values = _activities.find(activity);
        if (values == _activities.end()) {
            return std::nullopt;
        }
        auto value = values->second.find(key);
        if (value == values->second.end()) {
            return std::nullopt;
        }
        return value->second;
    });
}

void VRNActivityManager::setObject(plist::Value value, const std::string& key,
                                   const std::string& activity) {
    _internalLock.sync([&] {
        _activities[activity].insert_or_assign(key, std::move(value));
        writeActivities();
    });
}

void VRNActivityManager::removeObjectForKey(const std::string& key, const std::string& activity) {
    _internalLock.sync([&] {
        auto values = _activities.find(activity);
        if (values == _activities.end()) {
            return;
        }
        values->second.erase(key);
        writeActivities();
    });
}

void VRNActivityManager::writeActivities() {
    plist::Dictionary all;
    for (const auto& [identifier, values] : _activities) {
        all.emplace(identifier, plist::Value(values));
    }
    std::string error;
    if (!_defaults->setValue(kActivitiesKey, plist::Value(std::move(all)), &error)) {
        VRNLog(VRNLogLevelError, "%@", error);
    }
    logFileProblem();
}

void VRNActivityManager::systemTimeZoneDidChange() {
    _notifications.post(VRNActivityTimeZoneDidChangeNotification, this);
}

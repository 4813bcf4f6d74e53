#pragma once

#include "common/VRNEnvironment.h"
#include "platform/calendar/Calendar.h"
#include "platform/calendar/Date.h"
#include "platform/calendar/TimeZoneWatcher.h"
#include "platform/dispatch/LockQueue.h"
#include "platform/plist/Value.h"
#include "platform/preferences/Domain.h"

#include <map>
#include <memory>
#include <optional>
#include <string>

// Posted on the in-process notification centre, with the manager as object, after the
// system time zone changed and the shared calendar follows it.
inline constexpr const char* VRNActivityTimeZoneDidChangeNotification =
    "VRNActivityTimeZoneDidChange";

// Keeps the few dates of each activity that must survive a restart ("LastRun", "LastTry",
// "Submitted") under "Activities" in the daemon's defaults domain, written through on
// every change; owns the calendar all activities compute with and the boot date.
class VRNActivityManager {
public:
    static constexpr const char* kDomain = "com.vornhal.keelbrook.scheduler";
    static constexpr const char* kActivitiesKey = "Activities";

    // The manager of the process's environment, on the daemon's defaults domain and the
    // shared calendar, following the system time zone.
    static VRNActivityManager& sharedManager();

    // A manager on the given store and calendar (tests and tools); `bootDate` as read at
    // creation. Time-zone changes are posted on the environment's notification centre.
    VRNActivityManager(const VRNEnvironment& environment, std::shared_ptr<prefs::Domain> defaults,
                       cal::Calendar& calendar, std::optional<cal::Date> bootDate);

    std::optional<plist::Value> objectForKey(const std::string& key, const std::string& activity);
    void setObject(plist::Value value, const std::string& key, const std::string& activity);
    void removeObjectForKey(const std::string& key, const std::string& activity);

    // The boot date, or the distant past when the boot time was not available.
    cal::Date bootDate() const { return _bootDate.value_or(cal::kDistantPast); }
    cal::Calendar& calendar() const { return _calendar; }

    // The system time zone changed (the calendar already follows it): tell the activities.
    void systemTimeZoneDidChange();

    // The boot time as the kernel reports it now, in whole seconds.
    static std::optional<cal::Date> readBootDate();
    // The stored "Activities", each activity's values as a dictionary; empty when absent.
    static std::map<std::string, plist::Dictionary> activitiesFromDefaults(prefs::Domain& domain);

private:
    void writeActivities();
    void logFileProblem();

    dispatch::LockQueue _internalLock{"com.vornhal.activity-manager.lock"};
    VRNNotificationCenter& _notifications;
    std::shared_ptr<prefs::Domain> _defaults;
    std::map<std::string, plist::Dictionary> _activities;
    std::optional<cal::Date> _bootDate;
    cal::Calendar& _calendar;
    std::unique_ptr<cal::TimeZoneWatcher> _timeZoneWatcher;
};

#include "scheduler/daemon/KBEHelperSchedule.h"

#include "common/VRNDateComponents.h"

namespace {

const plist::Value* valueOf(const plist::Dictionary& dictionary, std::string_view key) {
    const auto found = dictionary.find(key);
    return found == dictionary.end() ? nullptr : &found->second;
}

bool flag(const plist::Dictionary& dictionary, std::string_view key) {
    const plist::Value* value = valueOf(dictionary, key);
    return value && value->asBoolean().value_or(false);
}

long integer(const plist::Dictionary& dictionary, std::string_view key) {
    const plist::Value* value = valueOf(dictionary, key);
    return value ? static_cast<long>(value->asInteger().value_or(0)) : 0;
}

const plist::Dictionary& dictionaryAt(const plist::Dictionary& dictionary, std::string_view key) {
    static const plist::Dictionary empty;
    const plist::Value* value = valueOf(dictionary, key);
    return value && value->asDictionary() ? *value->asDictionary() : empty;
}

cal::DateComponents timeOfDay(long hour, long minute) {
    cal::DateComponents components;
    components.hour = hour;
    components.minute = minute;
    return components;
}

// The "Interval" mode: the keys are looked at from the longest unit down, and a later one
// overwrites what an earlier one set.
void applyInterval(VRNActivityCriteria& criteria, const plist::Dictionary& interval) {
    if (valueOf(interval, "Weeks")) {
        criteria.setInterval(componentsWithWeeks(integer(interval, "Weeks")));
        criteria.setDelay(componentsWithDays(4));
        criteria.setLeeway(VRNActivityLeeway::infinite());
        criteria.setStartRange(0.25);
    }
    if (valueOf(interval, "Days")) {
        criteria.setInterval(componentsWithDays(integer(interval, "Days")));
        criteria.setDelay(componentsWithHours(12));
        criteria.setLeeway(VRNActivityLeeway::infinite());
        criteria.setStartRange(0.33);
    }
    if (valueOf(interval, "Hours")) {
        criteria.setInterval(componentsWithHours(integer(interval, "Hours")));
        criteria.setDelay(componentsWithHours(1));
    }
    if (valueOf(interval, "Minutes")) {
        const long minutes = integer(interval, "Minutes");
        criteria.setDelay(componentsWithMinutes(minutes));
        criteria.setFailureDelay(componentsWithMinutes(minutes));
    }
}

} // namespace

std::vector<cal::DateComponents>
KBEHelperSchedule::dateComponentsForCalendarIntervals(const plist::Array& intervals) {
    std::vector<cal::DateComponents> result;
    for (const plist::Value& item : intervals) {
        const plist::Dictionary* interval = item.asDictionary();
        if (interval == nullptr || valueOf(*interval, "Day") || !valueOf(*interval, "Hour")) {
            continue;
        }
        cal::DateComponents components =
            timeOfDay(integer(*interval, "Hour"), integer(*interval, "Minute"));
        if (valueOf(*interval, "Weekday")) {
            // Truncating remainder: 0 and 7 are both Sunday; a negative day stays negative.
            components.weekday = integer(*interval, "Weekday") % 7 + 1;
        }
        result.push_back(components);
    }
    return result;
}

std::shared_ptr<VRNActivityCriteria>
KBEHelperSchedule::backupCriteria(const plist::Dictionary& settings,
                                  const VRNSystemVersionManager& versions) {
    auto criteria = std::make_shared<VRNActivityCriteria>();
    const plist::Value* mode = valueOf(settings, "BackupsMode");
    const std::string modeName = mode && mode->asString() ? *mode->asString() : "";
    if (modeName == "Interval") {
        applyInterval(*criteria, dictionaryAt(settings, "Interval"));
    } else if (modeName == "CalendarIntervals") {
        const plist::Dictionary& calendar = dictionaryAt(settings, "CalendarIntervals");
        const plist::Value* intervals = valueOf(calendar, "Intervals");
        criteria->setDateComponents(dateComponentsForCalendarIntervals(
            intervals && intervals->asArray() ? *intervals->asArray() : plist::Array{}));
        criteria->setRunASAPIfMissed(flag(calendar, "ASAP"));
        criteria->setDelay(componentsWithHours(1));
    } else {
        criteria->setDelay(componentsWithHours(2));
        criteria->setLeeway(VRNActivityLeeway::infinite());
    }
    if (flag(settings, "Suspend")) {
        const plist::Dictionary& window = dictionaryAt(settings, "SuspendSettings");
        criteria->setSuspendFromDateComponents(
            timeOfDay(integer(window, "StartHour"), integer(window, "StartMinute")));
        criteria->setSuspendToDateComponents(
            timeOfDay(integer(window, "EndHour"), integer(window, "EndMinute")));
    }
    criteria->setAllowBattery(flag(settings, "AllowBattery"));
    criteria->setDontRunWhenPassive(flag(settings, "DontRunWhenPassive"));
    criteria->setDontRunWithSleepPreventers(flag(settings, "DontRunWithSleepPreventers"));
    if (versions.runningAtLeast(VRNSystemVersion10_14)) {
        criteria->setDontRunWhenNotNetworkWired(flag(settings, "DontRunWhenNotNetworkWired"));
    }
    if (!criteria->failureDelay()) {
        criteria->setFailureDelay(componentsWithHours(1));
    }
    criteria->setPowerNap(true);
    return criteria;
}

std::shared_ptr<VRNActivityCriteria>
KBEHelperSchedule::snapshotCriteria(const plist::Dictionary& settings,
                                    const VRNActivityCriteria* backups) {
    const auto interval = backups ? backups->interval() : std::nullopt;
    const bool hourly = interval && interval->hour == 1;
    const bool windowed = backups && backups->hasSuspensionWindow();
    if (!flag(settings, "Snapshots") || (hourly && !windowed)) {
        return nullptr;
    }
    auto criteria = std::make_shared<VRNActivityCriteria>();
    criteria->setDelay(componentsWithHours(1));
    criteria->setAllowBattery(true);
    criteria->setPowerNap(true);
    if (hourly && windowed) {
        // The snapshots run exactly while the hourly backups are suspended.
        criteria->setSuspendFromDateComponents(backups->suspendToDateComponents());
        criteria->setSuspendToDateComponents(backups->suspendFromDateComponents());
    }
    return criteria;
}

KBEHelperSchedule KBEHelperSchedule::forSettings(const plist::Dictionary& settings,
                                                 const VRNSystemVersionManager& versions) {
    KBEHelperSchedule schedule;
    if (flag(settings, "Disabled")) {
        schedule.disabled = true;
        return schedule;
    }
    if (flag(settings, "Backups")) {
        schedule.backups = backupCriteria(settings, versions);
    }
    schedule.snapshots = snapshotCriteria(settings, schedule.backups.get());
    return schedule;
}

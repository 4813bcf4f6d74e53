#pragma once

// What a settings dictionary asks of the scheduler: the criteria of the backup activity and
// of the local-snapshots activity, or none where that activity is not to be scheduled.
// Pure: the main controller hands the result to the backup manager.

#include "common/VRNSystemVersionManager.h"
#include "platform/plist/Value.h"
#include "scheduler/activity/VRNActivityCriteria.h"

#include <memory>
#include <vector>

struct KBEHelperSchedule {
    // Neither activity runs ("Disabled" true).
    bool disabled = false;
    // Null: backups are stopped.
    std::shared_ptr<VRNActivityCriteria> backups;
    // Null: snapshots are stopped.
    std::shared_ptr<VRNActivityCriteria> snapshots;

    static KBEHelperSchedule forSettings(const plist::Dictionary& settings,
                                         const VRNSystemVersionManager& versions);

    // The backup criteria of "Backups" true.
    static std::shared_ptr<VRNActivityCriteria>
    backupCriteria(const plist::Dictionary& settings, const VRNSystemVersionManager& versions);
    // The snapshot criteria beside `backups` (null when backups are off), or null when
    // snapshots are not to be scheduled: off, or made by hourly backups without a window.
    static std::shared_ptr<VRNActivityCriteria>
    snapshotCriteria(const plist::Dictionary& settings, const VRNActivityCriteria* backups);

    // Calendar-mode intervals as date components, in order: "Weekday" and "Hour" give a
    // weekly time (weekday (Weekday mod 7) + 1, 1 being Sunday), "Hour" alone a daily one;
    // entries with "Day" or without "Hour" are skipped; a missing "Minute" is 0.
    static std::vector<cal::DateComponents>
    dateComponentsForCalendarIntervals(const plist::Array& intervals);
};

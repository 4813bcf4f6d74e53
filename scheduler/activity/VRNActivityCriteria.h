#pragma once

#include "platform/calendar/DateComponents.h"
#include "scheduler/activity/VRNActivityLeeway.h"

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

// How an activity is scheduled, decided by the fields present.
enum class VRNActivityScheduleMode {
    Calendar,  // dateComponents is set
    Interval,  // else interval is set
    DelayOnly, // else delay is set
    None,      // none of them: bad criteria, no target
};

// When and under which conditions an activity may run: a value record that its owner
// builds and hands to the activity, which keeps a copy of its own.
class VRNActivityCriteria {
public:
    using Components = std::optional<cal::DateComponents>;
    using ComponentsArray = std::optional<std::vector<cal::DateComponents>>;

    VRNActivityCriteria() = default;

    bool allowBattery() const;
    void setAllowBattery(bool value);
    bool runASAPIfMissed() const;
    void setRunASAPIfMissed(bool value);
    bool powerNap() const;
    void setPowerNap(bool value);
    bool dontRunWhenPassive() const;
    void setDontRunWhenPassive(bool value);
    bool dontRunWithSleepPreventers() const;
    void setDontRunWithSleepPreventers(bool value);
    bool dontRunWhenNotNetworkWired() const;
    void setDontRunWhenNotNetworkWired(bool value);

    Components interval() const;
    void setInterval(Components value);
    std::shared_ptr<VRNActivityLeeway> leeway() const;
    void setLeeway(std::shared_ptr<VRNActivityLeeway> value);
    Components delay() const;
    void setDelay(Components value);
    Components failureDelay() const;
    void setFailureDelay(Components value);
    ComponentsArray dateComponents() const;
    void setDateComponents(ComponentsArray value);
    Components suspendFromDateComponents() const;
    void setSuspendFromDateComponents(Components value);
    Components suspendToDateComponents() const;
    void setSuspendToDateComponents(Components value);
    double startRange() const;
    void setStartRange(double value);

    // A new record with its own leeway; everything else is the same.
    std::shared_ptr<VRNActivityCriteria> copy() const;

    VRNActivityScheduleMode scheduleMode() const;
    // Both ends of the suspension window set.
    bool hasSuspensionWindow() const;

private:
    template <class T>
    T get(const T& field) const {
        std::lock_guard lock(mutex_);
        return field;
    }
    template <class T>
    void set(T& field, T value) {
        std::lock_guard lock(mutex_);
        field = std::move(value);
    }

    mutable std::mutex mutex_; // the accessors are atomic
    bool allowBattery_ = false;
    bool runASAPIfMissed_ = false;
    bool powerNap_ = false;
    bool dontRunWhenPassive_ = false;
    bool dontRunWithSleepPreventers_ = false;
    bool dontRunWhenNotNetworkWired_ = false;
    Components interval_;
    std::shared_ptr<VRNActivityLeeway> leeway_;
    Components delay_;
    Components failureDelay_;
    ComponentsArray dateComponents_;
    Components suspendFromDateComponents_;
    Components suspendToDateComponents_;
    double startRange_ = 0.0;
};

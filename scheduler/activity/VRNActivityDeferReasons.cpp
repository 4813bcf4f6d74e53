// What holds a due activity back, how that is described, and how the activity answers the
// machine's state changes and sleep announcements. Everything here runs on the lock.
#include "common/VRNLog.h"
#include "scheduler/activity/VRNActivity.h"

#include <array>
#include <utility>

namespace {

// Closer than this, a target asks for no wake: the machine would hardly have slept.
constexpr double kMinimumWakeDistance = 60;

constexpr std::array<std::pair<unsigned, const char*>, 11> kReasonTexts{{
    {VRNActivityDeferReasonNotStarted, "not started"},
    {VRNActivityDeferReasonSuspended, "suspended"},
    {VRNActivityDeferReasonUserActive, "user is active"},
    {VRNActivityDeferReasonUserPassive, "user is passive"},
    {VRNActivityDeferReasonSystemLoad, "system load"},
    {VRNActivityDeferReasonThermalPressure, "thermal pressure"},
    {VRNActivityDeferReasonBattery, "running on battery"},
    {VRNActivityDeferReasonDarkWake, "dark wake state"},
    {VRNActivityDeferReasonSleepState, "sleep state"},
    {VRNActivityDeferReasonSleepPrevented, "sleep prevented"},
    {VRNActivityDeferReasonNotWired, "not wired"},
}};

} // namespace

unsigned VRNActivity::_deferReasonsWithPartialResult(bool partial) {
    if (!_started) {
        return VRNActivityDeferReasonNotStarted;
    }
    VRNSystemEventsManager& events = *_environment.events;
    // Each test in order; a state is asked for only when its test needs it, since asking
    // registers the state's source.
    const std::pair<unsigned, std::function<bool()>> tests[] = {
        {VRNActivityDeferReasonSuspended,
         [&] {
             return _suspended;
         }},
        {VRNActivityDeferReasonAssertions,
         [&] {
             return !_assertions.empty();
         }},
        {VRNActivityDeferReasonUserActive,
         [&] {
             return _behavior == VRNActivityBehaviorWhenInactive &&
                    events.userActivity() == machine::UserActivity::Active;
         }},
        {VRNActivityDeferReasonUserPassive,
         [&] {
             return _criteria->dontRunWhenPassive() &&
                    events.userActivity() == machine::UserActivity::Passive;
         }},
        {VRNActivityDeferReasonSleepState,
         [&] {
             return events.powerState() == VRNPowerStateSleep;
         }},
        {VRNActivityDeferReasonSystemLoad,
         [&] {
             return _behavior != VRNActivityBehaviorASAP &&
                    events.systemLoad() == machine::SystemLoad::Bad;
         }},
        {VRNActivityDeferReasonThermalPressure,
         [&] {
             return _behavior != VRNActivityBehaviorASAP &&
                    events.thermalLevel() == machine::ThermalLevel::Heavy;
         }},
        {VRNActivityDeferReasonDarkWake,
         [&] {
             return !_criteria->powerNap() && events.powerState() == VRNPowerStateDarkWake;
         }},
        {VRNActivityDeferReasonBattery,
         [&] {
             return !_criteria->allowBattery() &&
                    events.powerSource() == machine::PowerSource::Battery;
         }},
        {VRNActivityDeferReasonNotWired,
         [&] {
             return _criteria->dontRunWhenNotNetworkWired() &&
                    events.networkType() != machine::NetworkType::Wired;
         }},
        {VRNActivityDeferReasonSleepPrevented,
         [&] {
             return _criteria->dontRunWithSleepPreventers() &&
                    events.powerState() == VRNPowerStateFullWake &&
                    events.assertions() == machine::Assertions::SleepPrevented;
         }},
    };
    unsigned reasons = 0;
    for (const auto& [bit, holds] : tests) {
        if (holds()) {
            reasons |= bit;
            if (partial) {
                break;
            }
        }
    }
    return reasons;
}

std::string VRNActivity::_descriptionForDeferReasons(unsigned reasons) const {
    std::string text;
    auto append = [&text](const std::string& part) {
        if (!text.empty()) {
            text += ", ";
        }
        text += part;
    };
    for (const auto& [bit, description] : kReasonTexts) {
        if (reasons & bit) {
            append(description);
        }
    }
    if (reasons & VRNActivityDeferReasonAssertions) {
        std::string names;
        for (const auto& name : _assertions) {
            names += names.empty() ? name : ", " + name;
        }
        append(names);
    }
    return text;
}

void VRNActivity::_handleSystemEventsChangeForSet(unsigned events) {
    if ((events & VRNSystemEventPowerState) &&
        _environment.events->powerState() == VRNPowerStateFullWake) {
        _lastRunInDark = false;
    }
    _evaluate();
}

void VRNActivity::_handleSleepEventWithWakeDate(std::optional<cal::Date>& wakeDate,
                                                std::optional<std::string>& wakeReason) {
    if (_running || !_wakeDate || _lastRunInDark || !_criteria || !_criteria->powerNap() ||
        _environment.events->powerSource() != machine::PowerSource::AC) {
        return;
    }
    cal::Date date = *_wakeDate;
    // A target inside the suspension window wakes the machine at the window's end.
    if (_suspendToDate && (!_suspendFromDate || *_suspendFromDate < date) &&
        date < *_suspendToDate) {
        date = *_suspendToDate;
    }
    if (date > VRNDateNow() + kMinimumWakeDistance) {
        wakeDate = date;
        wakeReason = _identifier;
    }
}

void VRNActivity::_updateIdleAssertion() {
    if (_running || _behavior != VRNActivityBehaviorWhenInactive ||
        _environment.events->powerState() != VRNPowerStateFullWake) {
        _allowSleep();
    } else if (_environment.events->userActivity() != machine::UserActivity::Idle) {
        _preventSleep();
    } else if (_criteria->dontRunWithSleepPreventers() &&
               _environment.events->assertions() == machine::Assertions::SleepPrevented) {
        _preventSleep();
    } else {
        _allowSleep();
    }
}

void VRNActivity::_preventSleep() {
    if (_sleepAssertion != 0) {
        return;
    }
    VRNLog(VRNLogLevelDebug, "[%@] Prevent sleep.", _identifier);
    std::string error;
    _sleepAssertion = _environment.powerAssertions->create(
        machine::kPreventUserIdleSystemSleep, _identifier, "Delay sleep to run activity.", &error);
}

void VRNActivity::_allowSleep() {
    if (_sleepAssertion == 0) {
        return;
    }
    VRNLog(VRNLogLevelDebug, "[%@] Allow sleep.", _identifier);
    _environment.powerAssertions->release(_sleepAssertion);
    _sleepAssertion = 0;
}

// Target dates of an activity: when it next becomes due and with which behaviour, and its
// suspension window. Everything here runs on the activity's lock.
#include "common/VRNLog.h"
#include "platform/calendar/DateFormatter.h"
#include "scheduler/activity/VRNActivity.h"

#include <algorithm>

namespace {

// A date counts as still ahead only when it is later than now plus this margin.
constexpr double kAheadMargin = 30;
// Leeway of the target, end and suspension timers.
constexpr double kDateTimerLeeway = 10;
// A calendar target whose timer fires later than this has been missed (e.g. asleep).
constexpr double kMissedCalendarTarget = 600;
constexpr double kBootMargin = 300;
constexpr double kDeferralMargin = 60;

} // namespace

std::string VRNActivity::stringFromDate(const std::optional<cal::Date>& date) {
    return date ? cal::shortDateShortTimeText(*date) : "(null)";
}

std::optional<cal::Date> VRNActivity::dateByAddingComponents(const cal::DateComponents& components,
                                                             cal::Date date) {
    return _environment.store->calendar().adding(components, date);
}

std::optional<cal::Date>
VRNActivity::nextDateForDateComponents(const std::vector<cal::DateComponents>& components) {
    const cal::Date after = VRNDateNow() + kAheadMargin;
    std::optional<cal::Date> earliest;
    for (const auto& element : components) {
        auto next = _environment.store->calendar().nextDate(after, element);
        if (next && (!earliest || *next < *earliest)) {
            earliest = next;
        }
    }
    return earliest;
}

void VRNActivity::_prepareNextTarget() {
    if (!_started || _running) {
        VRNLog(VRNLogLevelDebug, "[%@] Can't prepare next target (started:%d, running:%d).",
               _identifier, _started ? 1 : 0, _running ? 1 : 0);
        return;
    }
    VRNLog(VRNLogLevelDebug, "[%@] Last run: %@.", _identifier, stringFromDate(_lastRunDate));
    VRNLog(VRNLogLevelDebug, "[%@] Last try: %@.", _identifier, stringFromDate(_lastTryDate));
    switch (_criteria->scheduleMode()) {
    case VRNActivityScheduleMode::Calendar:
        _prepareWithDateComponents(*_criteria->dateComponents(), _criteria->delay(),
                                   _criteria->runASAPIfMissed());
        break;
    case VRNActivityScheduleMode::Interval:
        _prepareWithInterval(*_criteria->interval(), _criteria->delay(), _criteria->leeway());
        break;
    case VRNActivityScheduleMode::DelayOnly:
        _prepareWithDelay(*_criteria->delay(), _criteria->leeway());
        break;
    case VRNActivityScheduleMode::None:
        VRNLog(VRNLogLevelError, "[%@] Bad criteria.", _identifier);
        break;
    }
}

cal::Date VRNActivity::_safetyDateWithDelay(const std::optional<cal::DateComponents>& delay) {
    cal::Date safety = cal::kDistantPast;
    if (_lastRunDate) {
        safety = delay ? dateByAddingComponents(*delay, *_lastRunDate).value_or(*_lastRunDate)
                       : *_lastRunDate;
    }
    if (auto failureDelay = _criteria->failureDelay(); _lastTryDate && failureDelay) {
        safety =
            std::max(safety, dateByAddingComponents(*failureDelay, *_lastTryDate).value_or(safety));
    }
    if (_lastDeferDate) {
        safety = std::max(safety, *_lastDeferDate + kDeferralMargin);
    }
    return std::max(safety, _environment.store->bootDate() + kBootMargin);
}

void VRNActivity::_prepareWithDate(cal::Date date, unsigned behavior) {
    if (date > VRNDateNow() + kAheadMargin) {
        VRNLog(VRNLogLevelInfo, "[%@] Target date is %@", _identifier, stringFromDate(date));
        _wakeDate = date;
        _startTimer =
            timerWithFireDate(date, kDateTimerLeeway, [this, behavior] { _setBehavior(behavior); });
    } else {
        VRNLog(VRNLogLevelInfo, "[%@] Activity overdue, will run %@.", _identifier,
               VRNActivityBehaviorName(behavior));
        _setBehavior(behavior);
    }
}

void VRNActivity::_prepareWithDate(cal::Date date, const std::optional<cal::DateComponents>& delay,
                                   unsigned behavior) {
    _prepareWithDate(std::max(date, _safetyDateWithDelay(delay)), behavior);
}

void VRNActivity::_prepareWithStartDate(cal::Date start, cal::Date end) {
    const cal::Date now = VRNDateNow();
    if (end <= now + kAheadMargin) {
        VRNLog(VRNLogLevelInfo, "[%@] Activity overdue, will run ASAP.", _identifier);
        _setBehavior(VRNActivityBehaviorASAP);
        return;
    }
    if (start > now + kAheadMargin) {
        VRNLog(VRNLogLevelInfo, "[%@] Target date is %@", _identifier, stringFromDate(start));
        _wakeDate = start;
        _startTimer = timerWithFireDate(start, kDateTimerLeeway, [this, end] {
            if (VRNDateNow() < end) {
                _setBehavior(VRNActivityBehaviorWhenInactive);
            }
        });
    } else {
        _setBehavior(VRNActivityBehaviorWhenInactive);
    }
    VRNLog(VRNLogLevelDebug, "[%@] Will end at %@", _identifier, stringFromDate(end));
    _endTimer =
        timerWithFireDate(end, kDateTimerLeeway, [this] { _setBehavior(VRNActivityBehaviorASAP); });
}

void VRNActivity::_prepareWithStartDate(cal::Date start, cal::Date end,
                                        const std::optional<cal::DateComponents>& delay) {
    const cal::Date safety = _safetyDateWithDelay(delay);
    if (end < safety) {
        _prepareWithDate(safety, VRNActivityBehaviorASAP);
        return;
    }
    _prepareWithStartDate(std::max(start, safety), end);
}

void VRNActivity::_prepareWithInterval(const cal::DateComponents& interval,
                                       const std::optional<cal::DateComponents>& delay,
                                       const std::shared_ptr<VRNActivityLeeway>& leeway) {
    if (!_lastRunDate) {
        _prepareWithDate(_safetyDateWithDelay(std::nullopt), VRNActivityBehaviorASAP);
        return;
    }
    const cal::Unit unit = cal::highestUnit(interval);
    const auto next = dateByAddingComponents(interval, *_lastRunDate);
    const auto range = next ? _environment.store->calendar().range(unit, *next) : std::nullopt;
    if (!range) {
        VRNLog(VRNLogLevelError, "[%@] Failed to get range of unit %lu for date %@.", _identifier,
               static_cast<unsigned long>(unit), plist::Value(plist::Date{next.value_or(0)}));
        return;
    }
    cal::Date target = range->start;
    if (double startRange = _criteria->startRange(); startRange > 0) {
        if (_randomValue < 0) {
            _randomValue = _environment.random() / 4294967295.0;
        }
        target = range->start + startRange * range->length * _randomValue;
    }
    if (!leeway) {
        _prepareWithStartDate(target, range->start + range->length, delay);
        return;
    }
    switch (leeway->type()) {
    case VRNActivityLeeway::None:
        _prepareWithDate(target, delay, VRNActivityBehaviorASAP);
        break;
    case VRNActivityLeeway::Infinite:
        _prepareWithDate(target, delay, VRNActivityBehaviorWhenInactive);
        break;
    default: {
        auto window = leeway->dateComponents();
        auto end = window ? dateByAddingComponents(*window, target) : std::nullopt;
        _prepareWithStartDate(target, end.value_or(target), delay);
        break;
    }
    }
}

void VRNActivity::_prepareWithDelay(const cal::DateComponents& delay,
                                    const std::shared_ptr<VRNActivityLeeway>& leeway) {
    const cal::Date safety = _safetyDateWithDelay(delay);
    const unsigned type = leeway ? leeway->type() : VRNActivityLeeway::None;
    if (type == VRNActivityLeeway::None) {
        _prepareWithDate(safety, VRNActivityBehaviorASAP);
    } else if (type == VRNActivityLeeway::Infinite) {
        _prepareWithDate(safety, VRNActivityBehaviorWhenInactive);
    } else {
        auto window = leeway->dateComponents();
        auto end = window ? dateByAddingComponents(*window, safety) : std::nullopt;
        _prepareWithStartDate(safety, end.value_or(safety));
    }
}

bool VRNActivity::_missedCalendarDate(const std::vector<cal::DateComponents>& components) {
    auto stored = _environment.store->objectForKey("Submitted", _identifier);
    std::optional<cal::Date> submitted;
    if (auto date = stored ? stored->asDate() : std::nullopt) {
        submitted = date->secondsSinceReferenceDate;
    }
    std::optional<cal::Date> reference;
    if (_lastRunDate) {
        reference = submitted && *submitted > *_lastRunDate ? *submitted : *_lastRunDate + 30;
    } else if (_lastTryDate) {
        if (!submitted || *submitted <= *_lastTryDate) {
            return true; // tried and never ran since: missed, whatever the dates
        }
        reference = submitted;
    } else {
        reference = submitted;
    }
    if (!reference) {
        return false;
    }
    const cal::Date limit = VRNDateNow() + kAheadMargin;
    return std::any_of(components.begin(), components.end(), [&](const auto& element) {
        auto next = _environment.store->calendar().nextDate(*reference, element);
        return next && *next < limit;
    });
}

void VRNActivity::_prepareWithDateComponents(const std::vector<cal::DateComponents>& components,
                                             const std::optional<cal::DateComponents>& delay,
                                             bool runASAP) {
    auto next = nextDateForDateComponents(components);
    if (!next) {
        VRNLog(VRNLogLevelError, "[%@] No target date for calendar intervals.", _identifier);
        return;
    }
    if (runASAP && _missedCalendarDate(components)) {
        const cal::Date safety = _safetyDateWithDelay(delay);
        if (safety <= VRNDateNow() + kAheadMargin) {
            VRNLog(VRNLogLevelInfo, "[%@] Activity overdue, will run ASAP.", _identifier);
            _setBehavior(VRNActivityBehaviorASAP);
            return;
        }
        if (safety < *next) {
            VRNLog(VRNLogLevelInfo, "[%@] Activity overdue, target date is %@", _identifier,
                   stringFromDate(safety));
            _wakeDate = safety;
            _startTimer = timerWithFireDate(safety, kDateTimerLeeway,
                                            [this] { _setBehavior(VRNActivityBehaviorASAP); });
            return;
        }
        VRNLog(VRNLogLevelInfo, "[%@] Activity overdue, will wait for next target date.",
               _identifier);
    }
    const cal::Date target = *next;
    VRNLog(VRNLogLevelInfo, "[%@] Target date is %@", _identifier, stringFromDate(target));
    _wakeDate = target;
    _startTimer = timerWithFireDate(target, kDateTimerLeeway, [this, runASAP, target] {
        if (runASAP) {
            _setBehavior(VRNActivityBehaviorASAP);
        } else if (VRNDateNow() < target + kMissedCalendarTarget) {
            _endTimer = timerWithInterval(60, 5, [this] {
                VRNLog(VRNLogLevelDefault,
                       "[%@] Did not run during the last minute, re-targeting...", _identifier);
                _setBehavior(VRNActivityBehaviorNone);
                _prepareNextTarget();
            });
            _setBehavior(VRNActivityBehaviorASAP);
        } else {
            VRNLog(VRNLogLevelDefault, "[%@] Missed activity time, re-targeting...", _identifier);
            _prepareNextTarget();
        }
    });
}

void VRNActivity::_prepareSuspension() {
    if (!_criteria || !_criteria->hasSuspensionWindow()) {
        return;
    }
    const cal::Date after = VRNDateNow() + kAheadMargin;
    auto from =
        _environment.store->calendar().nextDate(after, *_criteria->suspendFromDateComponents());
    auto to = _environment.store->calendar().nextDate(after, *_criteria->suspendToDateComponents());
    if (!from || !to) {
        return;
    }
    if (*from < *to) {
        VRNLog(VRNLogLevelDebug, "[%@] Will suspend at %@.", _identifier, stringFromDate(*from));
        _suspendFromDate = *from;
        const cal::Date end = *to;
        _suspendFromTimer = timerWithFireDate(*from, kDateTimerLeeway, [this, end] {
            if (VRNDateNow() < end) {
                // Inside the window there is no next start: the sleep handling then treats
                // every pending target as inside it.
                _suspendFromDate.reset();
                _suspend();
            }
        });
    } else {
        _suspendFromDate.reset();
        _suspend();
    }
    VRNLog(VRNLogLevelDebug, "[%@] Will resume at %@.", _identifier, stringFromDate(*to));
    _suspendToDate = *to;
    _suspendToTimer = timerWithFireDate(*to, kDateTimerLeeway, [this] {
        _resume();
        _prepareSuspension();
    });
}

#pragma once

#include "common/VRNNotificationCenter.h"
#include "platform/calendar/Date.h"
#include "platform/dispatch/LockQueue.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Source.h"
#include "platform/machine/Sources.h"
#include "platform/plist/Value.h"
#include "scheduler/activity/VRNActivityCriteria.h"
#include "scheduler/activity/VRNActivityManager.h"
#include "scheduler/events/VRNSystemEventsManager.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Behaviours of an activity: none never runs; when inactive and asap are due.
enum VRNActivityBehavior : unsigned {
    VRNActivityBehaviorNone = 0,
    VRNActivityBehaviorWhenInactive = 1,
    VRNActivityBehaviorASAP = 2,
};

// "none", "when inactive" or "asap", as log lines name them.
const char* VRNActivityBehaviorName(unsigned behavior);

// Results the work hands to its completion handler.
enum VRNActivityResult : unsigned long {
    VRNActivityResultFinished = 0,
    VRNActivityResultFailed = 1,
    VRNActivityResultDeferred = 2,
};

// What holds a due activity back; listed in this order by their description.
enum VRNActivityDeferReason : unsigned {
    VRNActivityDeferReasonNotStarted = 0x1,
    VRNActivityDeferReasonSuspended = 0x2,
    VRNActivityDeferReasonAssertions = 0x4,
    VRNActivityDeferReasonUserActive = 0x8,
    VRNActivityDeferReasonUserPassive = 0x10,
    VRNActivityDeferReasonSystemLoad = 0x20,
    VRNActivityDeferReasonThermalPressure = 0x40,
    VRNActivityDeferReasonBattery = 0x80,
    VRNActivityDeferReasonDarkWake = 0x100,
    VRNActivityDeferReasonSleepState = 0x400,
    VRNActivityDeferReasonSleepPrevented = 0x800,
    VRNActivityDeferReasonNotWired = 0x1000,
};

// The scheduler of one recurring piece of work (a backup, a snapshot, an update check).
// From its criteria, the dates of its last run, try and deferral, the machine's state and
// its named holds it decides when to call the work, keeps the machine awake while it waits
// for an idle user, asks to be woken for its next target before sleep, and records the
// result. Every public operation takes the activity's lock; none may be called from inside
// it (from the work's completion handler it may: that runs outside the lock).
class VRNActivity : public std::enable_shared_from_this<VRNActivity> {
public:
    using CompletionHandler = std::function<void(unsigned long result)>;
    using Block = std::function<void(CompletionHandler completionHandler)>;

    // What an activity works with: the shared instances of the process's environment by
    // default, injected in tests and tools.
    struct Environment {
        VRNActivityManager* store;
        VRNSystemEventsManager* events;
        machine::PowerAssertions* powerAssertions;
        VRNNotificationCenter* notifications;
        std::function<std::uint32_t()> random; // uniform 32-bit draws
        dispatch::QueuePtr logicQueue;         // where the activity's own queue runs
    };
    static Environment sharedEnvironment();

    static std::shared_ptr<VRNActivity> initWithIdentifier(std::string identifier);
    static std::shared_ptr<VRNActivity> initWithIdentifier(std::string identifier,
                                                           Environment environment);
    ~VRNActivity();

    const std::string& identifier() const { return _identifier; }
    std::shared_ptr<VRNActivityCriteria> criteria();
    void setCriteria(const std::shared_ptr<VRNActivityCriteria>& criteria);
    void scheduleWithQueue(dispatch::QueuePtr queue, Block block);
    void unschedule();
    void addAssertion(const std::string& name);
    void removeAssertion(const std::string& name);
    bool shouldDefer();
    // Records a run made outside the activity: result 0 as the last run, 1 as the last try.
    void setDate(cal::Date date, unsigned long result);
    void setSubmittedDate(cal::Date date);
    plist::Dictionary information();
    void systemTimeZoneDidChange();

private:
    using Timer = std::shared_ptr<dispatch::TimerSource>;
    using Action = std::function<void()>;

    VRNActivity(std::string identifier, Environment environment);

    // Engine.
    void _prepareActivity();
    void _setBehavior(unsigned behavior);
    void _evaluate();
    void _evaluateDelayed();
    void _runActivityAndPrepareNextTarget();
    void _runActivityWithCompletionHandler(CompletionHandler completionHandler);
    void _completeRun(unsigned long result, std::uint32_t idleAssertion,
                      std::uint32_t backgroundAssertion);
    void _handleActivityResult(unsigned long result);
    void _suspend();
    void _resume();
    void _disableSuspension();
    void _disableNextTarget();
    void _unschedule();
    Timer timerWithInterval(double seconds, double leeway, bool oneShot, Action action);
    Timer timerWithInterval(double seconds, double leeway, Action action);
    Timer timerWithFireDate(cal::Date date, double leeway, Action action);
    Timer _timer(dispatch::Deadline deadline, double leeway, bool oneShot, Action action);

    // Targets.
    void _prepareNextTarget();
    void _prepareWithDateComponents(const std::vector<cal::DateComponents>& components,
                                    const std::optional<cal::DateComponents>& delay, bool runASAP);
    void _prepareWithInterval(const cal::DateComponents& interval,
                              const std::optional<cal::DateComponents>& delay,
                              const std::shared_ptr<VRNActivityLeeway>& leeway);
    void _prepareWithDelay(const cal::DateComponents& delay,
                           const std::shared_ptr<VRNActivityLeeway>& leeway);
    void _prepareWithDate(cal::Date date, unsigned behavior);
    void _prepareWithDate(cal::Date date, const std::optional<cal::DateComponents>& delay,
                          unsigned behavior);
    void _prepareWithStartDate(cal::Date start, cal::Date end);
    void _prepareWithStartDate(cal::Date start, cal::Date end,
                               const std::optional<cal::DateComponents>& delay);
    cal::Date _safetyDateWithDelay(const std::optional<cal::DateComponents>& delay);
    bool _missedCalendarDate(const std::vector<cal::DateComponents>& components);
    void _prepareSuspension();
    std::optional<cal::Date>
    nextDateForDateComponents(const std::vector<cal::DateComponents>& components);
    std::optional<cal::Date> dateByAddingComponents(const cal::DateComponents& components,
                                                    cal::Date date);
    static std::string stringFromDate(const std::optional<cal::Date>& date);

    // Defer reasons and sleep.
    unsigned _deferReasonsWithPartialResult(bool partial);
    std::string _descriptionForDeferReasons(unsigned reasons) const;
    void _handleSystemEventsChangeForSet(unsigned events);
    void _handleSleepEventWithWakeDate(std::optional<cal::Date>& wakeDate,
                                       std::optional<std::string>& wakeReason);
    void _updateIdleAssertion();
    void _preventSleep();
    void _allowSleep();

    const Environment _environment;
    dispatch::LockQueue _internalLock{"com.vornhal.activity.lock"};
    dispatch::QueuePtr _internalQueue;
    dispatch::QueuePtr _activityQueue;
    Block _activityBlock;
    std::shared_ptr<VRNActivityCriteria> _criteria;
    std::vector<std::string> _assertions; // a set, kept in the order the names were added
    std::shared_ptr<VRNSystemEventsObserver> _systemEventsObserver;
    std::shared_ptr<VRNSleepEventObserver> _sleepEventObserver;
    std::optional<VRNNotificationCenter::Token> _timeZoneObserver;
    Timer _startTimer;
    Timer _endTimer;
    Timer _evaluateTimer;
    Timer _suspendFromTimer;
    Timer _suspendToTimer;
    std::optional<cal::Date> _suspendFromDate;
    std::optional<cal::Date> _suspendToDate;
    std::optional<cal::Date> _lastRunDate;
    std::optional<cal::Date> _lastTryDate;
    std::optional<cal::Date> _lastDeferDate;
    std::optional<cal::Date> _wakeDate;
    std::uint32_t _sleepAssertion = 0;
    unsigned _behavior = VRNActivityBehaviorNone;
    double _randomValue = -1.0;
    bool _started = false;
    bool _running = false;
    bool _suspended = false;
    bool _lastRunInDark = false;
    const std::string _identifier;
};

// Now, as a date, from the runtime's wall clock.
cal::Date VRNDateNow();

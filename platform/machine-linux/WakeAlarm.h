#pragma once

#include "platform/calendar/Date.h"
#include "platform/machine/Sources.h"

#include <functional>
#include <mutex>
#include <optional>

namespace machine {

// The timer that wakes the machine from suspend for a wake request: a CLOCK_REALTIME_ALARM
// timerfd. Without the capability for it, one line is logged and a plain CLOCK_REALTIME
// timer takes its place (it fires on time only while the machine is awake).
class WakeAlarm {
public:
    // Creates a timer descriptor on the clock given, or -1 with errno set.
    using TimerFactory = std::function<int(int clockId)>;
    static TimerFactory timerfds();

    WakeAlarm(TimerFactory create, LogLine log);
    ~WakeAlarm();
    WakeAlarm(const WakeAlarm&) = delete;
    WakeAlarm& operator=(const WakeAlarm&) = delete;

    // Arms the timer at `date` (replacing the previous one), or disarms it with nullopt.
    // False when no timer can be created or set.
    bool set(std::optional<cal::Date> date);

private:
    bool ensureTimer();

    const TimerFactory create_;
    const LogLine log_;
    std::mutex mutex_;
    int fd_ = -1;
    bool creationFailed_ = false;
};

} // namespace machine

#pragma once

#include "platform/calendar/Calendar.h"
#include "platform/calendar/DateFormatter.h"
#include "platform/dispatch/VirtualClock.h"
#include "scheduler/activity/VRNActivity.h"
#include "tools/kbeactivity/Options.h"

#include <memory>
#include <string>
#include <string_view>

namespace kbeactivity {

// Writes whole lines to standard output from any thread.
void printLine(std::string_view line);

// One activity on the simulated machine below $KEELBROOK_ROOT, with its own state store
// (in the root's scheduler domain, starting from no history), its own system events
// manager and this process's simulated power assertions; the work it calls reports the
// chosen result after the chosen time. The activity observes the process's notification
// centre, where the state store announces time-zone changes. Commands come from the main
// thread.
class Session {
public:
    // `clock` is the installed virtual clock in --virtual mode, else null.
    static std::unique_ptr<Session> start(const Options& options, dispatch::VirtualClock* clock,
                                          std::string* error);

    // Runs one command and prints its answer; false when the session should end.
    bool run(const Command& command);

private:
    Session(const Options& options, dispatch::VirtualClock* clock);
    void schedule();
    void settle();
    void announce(unsigned capabilities);
    void sleep();
    void hold(const Command& command);
    void changeTimeZone(const std::string& zone);
    void now();
    void advance(dispatch::Duration duration);

    const Options _options;
    dispatch::VirtualClock* const _clock;
    std::unique_ptr<cal::Calendar> _calendar;
    std::unique_ptr<cal::DateFormatter> _localTime;
    std::unique_ptr<VRNActivityManager> _store;
    std::unique_ptr<VRNSystemEventsManager> _events;
    std::shared_ptr<VRNActivity> _activity;
    bool _asleep = false;
};

} // namespace kbeactivity

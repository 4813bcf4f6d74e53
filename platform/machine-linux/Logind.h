#pragma once

#include "platform/bus/Bus.h"
#include "platform/machine/MachineState.h"
#include "platform/machine/Sources.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The sources that talk to the login manager over D-Bus: sleep announcements, user
// activity, other processes' holds and this process's own.
namespace machine::logind {

// Where the sources find the login manager: bus::systemBus(), or a test's bus::busAt().
using BusOpener = bus::Opener;

struct Inhibitor {
    std::string what; // "sleep:idle" and the like
    std::string who;
    std::string why;
    std::string mode; // "block" or "delay"
    std::uint32_t uid = 0;
    std::uint32_t pid = 0;
};

struct Session {
    std::uint32_t uid = 0;
    std::string type; // "x11", "wayland", "tty", ...
    bool idle = false;
    bool active = false; // in the foreground of its seat
};

// Every session the login manager lists, with its type and state.
bool readSessions(bus::Connection& connection, std::vector<Session>* sessions, std::string* error);

// Whether an inhibitor's "what" names `lock` ("idle" in "sleep:idle").
bool inhibits(const Inhibitor& inhibitor, std::string_view lock);

// All graphical sessions idle (or none) → idle; a session not idle while a process of its
// user holds an "idle" block inhibitor → passive (or active when `passiveKnown` is false);
// otherwise active.
UserActivity userActivityFrom(const std::vector<Session>& sessions,
                              const std::vector<Inhibitor>& inhibitors, bool passiveKnown);

// Inhibitors of idle or sleep as holds of type "PreventUserIdleSystemSleep": level 255 for
// "block", 0 for "delay"; the process name comes from the procfs folder.
std::vector<SleepHold> sleepHoldsFrom(const std::vector<Inhibitor>& inhibitors,
                                      const std::string& procFolder);

// Power state from PrepareForSleep, acknowledged by releasing a "delay" inhibitor that is
// taken again after every resume. Wake requests arm the wake timer from `wakeTimers`.
using WakeTimerFactory = std::function<int(int clockId)>;
std::unique_ptr<PowerStateSource> createPowerState(BusOpener bus, const SourceOptions& options,
                                                   WakeTimerFactory wakeTimers);
std::unique_ptr<UserActivitySource> createUserActivity(BusOpener bus, bool passiveKnown);
std::unique_ptr<SleepPreventerSource> createSleepPreventers(BusOpener bus);
std::unique_ptr<PowerAssertions> createPowerAssertions(BusOpener bus);

} // namespace machine::logind

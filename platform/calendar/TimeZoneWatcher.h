#pragma once

#include "platform/calendar/Calendar.h"
#include "platform/dispatch/Queue.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace dispatch {
class ReadSource;
}

namespace cal {

// Whether a batch of inotify events read from a watch on the zone file's folder
// (`folderWatch`) concerns the zone file `fileName`: any event naming that entry (it is
// usually replaced by a rename, sometimes rewritten in place), the loss of the folder's
// watch, or an overflowed event queue (events were dropped: look again).
bool eventsConcernZoneFile(const char* events, std::size_t length, int folderWatch,
                           std::string_view fileName);

// Follows changes of the system time zone: watches the zone file's folder with inotify
// and, when the zone resolved from TZ and the zone file differs from the calendar's, makes
// it the calendar's zone and the process's system zone, then calls the observers.
// Everything happens on the watcher's queue. The calendar must outlive the watcher.
class TimeZoneWatcher {
public:
    using Observer = std::function<void(const std::string& zoneId)>;

    // Watches $KEELBROOK_ROOT/etc/localtime for the shared calendar.
    static std::unique_ptr<TimeZoneWatcher> start(dispatch::QueuePtr queue, std::string* error);
    // Null with `error` filled when the folder of `localtimePath` cannot be watched.
    static std::unique_ptr<TimeZoneWatcher> start(Calendar& calendar, dispatch::QueuePtr queue,
                                                  const std::string& localtimePath,
                                                  std::string* error);
    ~TimeZoneWatcher();
    TimeZoneWatcher(const TimeZoneWatcher&) = delete;
    TimeZoneWatcher& operator=(const TimeZoneWatcher&) = delete;

    // Observers are called on the queue with the new zone's name.
    std::uint64_t addObserver(Observer observer);
    void removeObserver(std::uint64_t token);

private:
    struct State;
    TimeZoneWatcher(std::shared_ptr<State> state, std::unique_ptr<dispatch::ReadSource> source);

    std::shared_ptr<State> state_;
    std::unique_ptr<dispatch::ReadSource> source_;
};

} // namespace cal

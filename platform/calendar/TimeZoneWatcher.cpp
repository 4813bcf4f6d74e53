#include "platform/calendar/TimeZoneWatcher.h"

#include "platform/calendar/TimeZones.h"
#include "platform/dispatch/Source.h"
#include "platform/paths/Paths.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <sys/inotify.h>
#include <unistd.h>

namespace cal {

bool eventsConcernZoneFile(const char* events, std::size_t length, int folderWatch,
                           std::string_view fileName) {
    std::size_t offset = 0;
    while (offset + sizeof(inotify_event) <= length) {
        inotify_event event;
        std::memcpy(&event, events + offset, sizeof event);
        const std::size_t size = sizeof(inotify_event) + event.len;
        if (offset + size > length) {
            break; // a truncated record: not something the kernel writes
        }
        if (event.mask & IN_Q_OVERFLOW) {
            return true;
        }
        if (event.wd == folderWatch) {
            if (event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) {
                return true;
            }
            const char* name = events + offset + sizeof(inotify_event);
            if (event.len > 0 && std::string_view(name, strnlen(name, event.len)) == fileName) {
                return true;
            }
        }
        offset += size;
    }
    return false;
}

struct TimeZoneWatcher::State {
    State(Calendar& calendar, int fd, int watch, std::string path)
        : calendar(calendar), fd(fd), folderWatch(watch), localtimePath(std::move(path)),
          fileName(std::filesystem::path(localtimePath).filename().string()) {}
    ~State() { ::close(fd); }

    // Handler of the descriptor source: drains the events, then looks at the zone again.
    void readEvents() {
        alignas(inotify_event) char buffer[4096];
        bool concerned = false;
        for (;;) {
            const ssize_t count = ::read(fd, buffer, sizeof buffer);
            if (count <= 0) {
                if (count < 0 && errno == EINTR) {
                    continue;
                }
                break; // EAGAIN: drained
            }
            concerned |= eventsConcernZoneFile(buffer, static_cast<std::size_t>(count), folderWatch,
                                               fileName);
        }
        if (concerned) {
            refresh();
        }
    }

    void refresh() {
        const char* tz = std::getenv("TZ");
        // A zone file that is missing or half written is not a zone yet: the event that
        // completes the replacement follows.
        const std::string zone = tz != nullptr && *tz != '\0' ? resolveTimeZoneId(tz, localtimePath)
                                                              : zoneIdOfFile(localtimePath);
        if (zone.empty() || zone == calendar.timeZoneId()) {
            return;
        }
        std::string error;
        if (!calendar.setTimeZone(zone, &error)) {
            return; // resolution only yields known zones
        }
        SystemTimeZone::set(zone);
        std::map<std::uint64_t, Observer> current;
        {
            std::lock_guard guard(lock);
            current = observers;
        }
        for (const auto& [token, observer] : current) {
            observer(zone);
        }
    }

    Calendar& calendar;
    const int fd;
    const int folderWatch;
    const std::string localtimePath;
    const std::string fileName;
    std::mutex lock; // guards the observers
    std::map<std::uint64_t, Observer> observers;
    std::uint64_t nextToken = 1;
};

std::unique_ptr<TimeZoneWatcher> TimeZoneWatcher::start(dispatch::QueuePtr queue,
                                                        std::string* error) {
    return start(sharedCalendar(), std::move(queue), paths::path("/etc/localtime"), error);
}

std::unique_ptr<TimeZoneWatcher> TimeZoneWatcher::start(Calendar& calendar,
                                                        dispatch::QueuePtr queue,
                                                        const std::string& localtimePath,
                                                        std::string* error) {
    auto fail = [error](const std::string& text) -> std::unique_ptr<TimeZoneWatcher> {
        if (error) {
            *error = text + ": " + std::strerror(errno);
        }
        return nullptr;
    };
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        return fail("cannot create an inotify descriptor");
    }
    const auto folder = std::filesystem::path(localtimePath).parent_path().string();
    const int watch =
        ::inotify_add_watch(fd, folder.c_str(),
                            IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE |
                                IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
    if (watch < 0) {
        auto result = fail("cannot watch " + folder);
        ::close(fd);
        return result;
    }
    auto state = std::make_shared<State>(calendar, fd, watch, localtimePath);
    auto source =
        dispatch::ReadSource::create(fd, std::move(queue), [state] { state->readEvents(); });
    if (!source) {
        return fail("cannot watch the inotify descriptor");
    }
    return std::unique_ptr<TimeZoneWatcher>(
        new TimeZoneWatcher(std::move(state), std::move(source)));
}

TimeZoneWatcher::TimeZoneWatcher(std::shared_ptr<State> state,
                                 std::unique_ptr<dispatch::ReadSource> source)
    : state_(std::move(state)), source_(std::move(source)) {}

// The source goes first: no handler starts after that, and the descriptor closes with the
// last reference to the state.
TimeZoneWatcher::~TimeZoneWatcher() {
    source_.reset();
}

std::uint64_t TimeZoneWatcher::addObserver(Observer observer) {
    std::lock_guard guard(state_->lock);
    const auto token = state_->nextToken++;
    state_->observers.emplace(token, std::move(observer));
    return token;
}

void TimeZoneWatcher::removeObserver(std::uint64_t token) {
    std::lock_guard guard(state_->lock);
    state_->observers.erase(token);
}

} // namespace cal

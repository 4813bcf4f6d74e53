#include "platform/dispatch/TimerService.h"

#include "platform/dispatch/Fatal.h"
#include "platform/dispatch/Reactor.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>
#include <vector>

namespace dispatch {

bool TimerService::Earlier::operator()(const std::shared_ptr<TimerEntry>& a,
                                       const std::shared_ptr<TimerEntry>& b) const {
    if (a->deadline != b->deadline) {
        return a->deadline < b->deadline;
    }
    return a->sequence < b->sequence;
}

TimerService::TimerService(Reactor& reactor) : reactor_(reactor) {
    monotonicFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    wallFd_ = timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK);
    if (monotonicFd_ < 0 || wallFd_ < 0) {
        fatal("cannot create timers: %s", std::strerror(errno));
    }
    for (int fd : {monotonicFd_, wallFd_}) {
        if (reactor_.add(fd, EPOLLIN, [this, fd](uint32_t) { onTimerDescriptor(fd); }) == 0) {
            fatal("cannot watch timers: %s", std::strerror(errno));
        }
    }
}

void TimerService::arm(const std::shared_ptr<TimerEntry>& entry, Deadline start, Duration interval,
                       Duration leeway) {
    std::lock_guard lock(mutex_);
    removeLocked(entry);
    if (!start.isNever()) {
        entry->clock = start.clock;
        entry->deadline = start.time;
        entry->interval = std::max(interval, Duration::zero());
        entry->leeway = std::max(leeway, Duration::zero());
        entry->sequence = nextSequence_++;
        entry->armed = true;
        timeline(entry->clock).insert(entry);
    }
    updateKernelTimersLocked();
}

void TimerService::disarm(const std::shared_ptr<TimerEntry>& entry) {
    std::lock_guard lock(mutex_);
    removeLocked(entry);
    updateKernelTimersLocked();
}

void TimerService::removeLocked(const std::shared_ptr<TimerEntry>& entry) {
    if (entry->armed) {
        timeline(entry->clock).erase(entry);
        entry->armed = false;
    }
}

std::optional<Duration> TimerService::nextFireTime(ClockKind clock) {
    std::lock_guard lock(mutex_);
    return nextFireTimeLocked(clock);
}

std::optional<Duration> TimerService::nextFireTimeLocked(ClockKind clock) {
    Timeline& line = timeline(clock);
    if (line.empty()) {
        return std::nullopt;
    }
    Duration fireAt = (*line.begin())->deadline;
    Duration latest = Duration::max();
    for (const auto& entry : line) {
        if (entry->deadline > latest) {
            break;
        }
        fireAt = entry->deadline;
        Duration entryLatest = entry->leeway > Duration::max() - entry->deadline
                                   ? Duration::max()
                                   : entry->deadline + entry->leeway;
        latest = std::min(latest, entryLatest);
    }
    return fireAt;
}

bool TimerService::anyArmed() {
    std::lock_guard lock(mutex_);
    return !monotonic_.empty() || !wall_.empty();
}

void TimerService::useVirtualClock() {
    std::lock_guard lock(mutex_);
    virtual_ = true;
    updateKernelTimersLocked();
}

void TimerService::fireDue() {
    std::vector<std::shared_ptr<TimerEntry>> due;
    {
        std::lock_guard lock(mutex_);
        for (ClockKind clock : {ClockKind::Monotonic, ClockKind::Wall}) {
            Timeline& line = timeline(clock);
            Duration current = now(clock);
            while (!line.empty() && (*line.begin())->deadline <= current) {
                due.push_back(*line.begin());
                line.erase(line.begin());
            }
        }
        for (const auto& entry : due) {
            if (entry->interval > Duration::zero()) {
                // Repeating: the next period after now; missed periods fire only once.
                Duration current = now(entry->clock);
                auto missed = (current - entry->deadline) / entry->interval;
                entry->deadline += entry->interval * (missed + 1);
                timeline(entry->clock).insert(entry);
            } else {
                entry->armed = false;
            }
        }
        updateKernelTimersLocked();
    }
    std::sort(due.begin(), due.end(),
              [](const auto& a, const auto& b) { return a->sequence < b->sequence; });
    for (const auto& entry : due) {
        entry->fire();
    }
}

void TimerService::updateKernelTimersLocked() {
    auto update = [this](int fd, ClockKind clock, std::optional<Duration>& armedAt) {
        std::optional<Duration> next = virtual_ ? std::nullopt : nextFireTimeLocked(clock);
        if (next == armedAt) {
            return;
        }
        itimerspec timerValue{};
        int flags = 0;
        if (next) {
            // An all-zero value would disarm: a deadline at or before the epoch fires now.
            Duration at = std::max(*next, Duration(1));
            timerValue.it_value.tv_sec =
                std::chrono::duration_cast<std::chrono::seconds>(at).count();
            timerValue.it_value.tv_nsec = (at % std::chrono::seconds(1)).count();
            flags = TFD_TIMER_ABSTIME;
            if (clock == ClockKind::Wall) {
                flags |= TFD_TIMER_CANCEL_ON_SET;
            }
        }
        if (timerfd_settime(fd, flags, &timerValue, nullptr) != 0) {
            fatal("cannot arm a timer: %s", std::strerror(errno));
        }
        armedAt = next;
    };
    update(monotonicFd_, ClockKind::Monotonic, monotonicArmedAt_);
    update(wallFd_, ClockKind::Wall, wallArmedAt_);
}

void TimerService::onTimerDescriptor(int fd) {
    uint64_t expirations;
    // ECANCELED means the wall clock was set (or the machine resumed): re-evaluate.
    ssize_t n = read(fd, &expirations, sizeof expirations);
    (void)n;
    {
        std::lock_guard lock(mutex_);
        // The kernel disarmed it by firing or cancelling; arm it again below.
        (fd == monotonicFd_ ? monotonicArmedAt_ : wallArmedAt_).reset();
    }
    fireDue();
    std::lock_guard lock(mutex_);
    updateKernelTimersLocked();
}

} // namespace dispatch

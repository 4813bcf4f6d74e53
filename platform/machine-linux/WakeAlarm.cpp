#include "platform/machine-linux/WakeAlarm.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <sys/timerfd.h>
#include <unistd.h>

namespace machine {

WakeAlarm::TimerFactory WakeAlarm::timerfds() {
    return [](int clockId) {
        return ::timerfd_create(clockId, TFD_CLOEXEC | TFD_NONBLOCK);
    };
}

WakeAlarm::WakeAlarm(TimerFactory create, LogLine log)
    : create_(std::move(create)), log_(std::move(log)) {}

WakeAlarm::~WakeAlarm() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool WakeAlarm::ensureTimer() {
    if (fd_ >= 0 || creationFailed_) {
        return fd_ >= 0;
    }
    fd_ = create_(CLOCK_REALTIME_ALARM);
    if (fd_ < 0) {
        const std::string reason = std::strerror(errno);
        fd_ = create_(CLOCK_REALTIME);
        log_(0, "Wake alarm unavailable (" + reason +
                    "): wake requests use a real-time timer, which cannot wake the machine.");
    }
    creationFailed_ = fd_ < 0;
    return fd_ >= 0;
}

bool WakeAlarm::set(std::optional<cal::Date> date) {
    std::lock_guard guard(mutex_);
    if (!ensureTimer()) {
        return false;
    }
    itimerspec setting{};
    if (date) {
        const double unix = cal::unixTimeFromDate(*date);
        if (!std::isfinite(unix) || unix < 1) {
            return false; // zero would disarm; dates before the epoch are not requests
        }
        double whole = 0;
        const double fraction = std::modf(unix, &whole);
        setting.it_value.tv_sec = static_cast<time_t>(whole);
        setting.it_value.tv_nsec = static_cast<long>(fraction * 1e9);
    }
    return ::timerfd_settime(fd_, TFD_TIMER_ABSTIME, &setting, nullptr) == 0;
}

} // namespace machine

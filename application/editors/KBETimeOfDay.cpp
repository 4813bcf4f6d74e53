#include "application/editors/KBETimeOfDay.h"

#include "platform/calendar/Date.h"

#include <QDateTime>
#include <cmath>

namespace {

constexpr long long kMinutesPerDay = 24 * 60;

} // namespace

QTime KBECurrentTimeOfDay() {
    const double unixTime = cal::unixTimeFromDate(cal::now());
    const QTime now =
        QDateTime::fromSecsSinceEpoch(static_cast<qint64>(std::floor(unixTime))).time();
    return QTime(now.hour(), now.minute());
}

QTime KBETimeOfDay(long long hour, long long minute) {
    // Settings come from outside: keep the arithmetic far from overflow.
    hour %= kMinutesPerDay;
    minute %= kMinutesPerDay;
    long long total = (hour * 60 + minute) % kMinutesPerDay;
    if (total < 0) {
        total += kMinutesPerDay;
    }
    return QTime(static_cast<int>(total / 60), static_cast<int>(total % 60));
}

#include "platform/time/CivilDate.h"

namespace timebase {

namespace {

long floorDivide(long a, long b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

int daysSinceMondayOfDayNumber(long dayNumber) {
    // 1970-01-01 was a Thursday (3 days after Monday).
    return static_cast<int>(dayNumber + 3 - floorDivide(dayNumber + 3, 7) * 7);
}

} // namespace

// Day numbers and civil dates are converted with the era-based algorithm: 400-year eras of
// 146097 days, years counted from March so that the leap day ends the year.
CivilDate CivilDate::fromDayNumber(long dayNumber) {
    const long z = dayNumber + 719468;
    const long era = floorDivide(z, 146097);
    const long dayOfEra = z - era * 146097;
    const long yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long monthIndex = (5 * dayOfYear + 2) / 153; // 0 = March
    const int day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    const int month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    const long year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    return {year, month, day};
}

long CivilDate::dayNumber() const {
    const long y = month <= 2 ? year - 1 : year;
    const long era = floorDivide(y, 400);
    const long yearOfEra = y - era * 400;
    const long monthIndex = month > 2 ? month - 3 : month + 9;
    const long dayOfYear = (153 * monthIndex + 2) / 5 + day - 1;
    const long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

int CivilDate::weekday() const {
    return (daysSinceMonday() + 1) % 7 + 1;
}

int CivilDate::daysSinceMonday() const {
    return daysSinceMondayOfDayNumber(dayNumber());
}

int CivilDate::weekOfMonth() const {
    const int firstOffset = CivilDate{year, month, 1}.daysSinceMonday();
    return (day - 1 + firstOffset) / 7 + 1;
}

int CivilDate::weekOfYear() const {
    const long number = dayNumber();
    const long nextYearStart = CivilDate{year + 1, 1, 1}.dayNumber();
    if (number >= nextYearStart - daysSinceMondayOfDayNumber(nextYearStart)) {
        return 1;
    }
    const long yearStart = CivilDate{year, 1, 1}.dayNumber();
    return static_cast<int>((number - yearStart + daysSinceMondayOfDayNumber(yearStart)) / 7 + 1);
}

bool CivilDate::isLeapYear(long year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int CivilDate::daysInMonth(long year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

} // namespace timebase

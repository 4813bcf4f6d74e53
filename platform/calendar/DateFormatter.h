#pragma once

#include "platform/calendar/Date.h"

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace cal {

// Turns dates into text and back, with a fixed pattern or with a locale's styles, in one
// time zone or following the system time zone. One formatter may be used from several
// threads; calls are serialized by a lock inside.
class DateFormatter {
public:
    enum class TimeStyle { shortTime, mediumTime };

    // `zoneId` null: the system time zone, following its changes.
    static std::unique_ptr<DateFormatter> withPattern(std::string_view pattern,
                                                      const std::string& localeId,
                                                      const std::optional<std::string>& zoneId,
                                                      std::string* error);
    // The locale's short date style with the given time style. A locale the library has no
    // data for falls back to en_US_POSIX.
    static std::unique_ptr<DateFormatter> withShortDate(TimeStyle timeStyle,
                                                        const std::string& localeId,
                                                        const std::optional<std::string>& zoneId,
                                                        std::string* error);
    ~DateFormatter();
    DateFormatter(const DateFormatter&) = delete;
    DateFormatter& operator=(const DateFormatter&) = delete;

    // Writes the text of `date` as UTF-8 and a terminating NUL into `buffer` without
    // allocating; returns the text's length, or 0 when it does not fit or cannot be made.
    std::size_t format(Date date, char* buffer, std::size_t size) const;
    std::string format(Date date) const;

    // The date the whole of `text` denotes; none when it does not match the pattern.
    std::optional<Date> parse(std::string_view text) const;

private:
    struct Parts;
    explicit DateFormatter(std::unique_ptr<Parts> parts);

    mutable std::mutex lock_;
    std::unique_ptr<Parts> parts_;
};

// The log line's date: pattern "d/MMM/yy, HH:mm:ssZ", locale en_US_POSIX, system time zone
// ("8/Dec/26, 03:00:00+0100"). Process-wide formatter; no allocation per call.
inline constexpr std::string_view kLogDatePattern = "d/MMM/yy, HH:mm:ssZ";
std::size_t formatLogDate(Date date, char* buffer, std::size_t size);
std::string logDateText(Date date);

// The user's locale for dates: the first of LC_ALL, LC_TIME and LANG that is set, without
// its codeset and modifier ("de_DE.UTF-8" gives "de_DE"); en_US_POSIX when none is set or
// the value is "C" or "POSIX".
std::string userLocaleId();

// Dates in the user's locale and the system time zone, short date with short or medium time.
std::string shortDateShortTimeText(Date date);
std::string shortDateMediumTimeText(Date date);

// Timestamps of the system log reader: pattern "yyyy.MM.dd HH:mm:ss.SSSSSSZZZ"
// ("2026.12.08 03:00:00.250000+0100"). Fractions are kept to the millisecond.
inline constexpr std::string_view kLogTimestampPattern = "yyyy.MM.dd HH:mm:ss.SSSSSSZZZ";
std::optional<Date> parseLogTimestamp(std::string_view text);

} // namespace cal

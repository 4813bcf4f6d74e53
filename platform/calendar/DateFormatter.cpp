#include "platform/calendar/DateFormatter.h"

#include "platform/calendar/TimeZones.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <unicode/datefmt.h>
#include <unicode/fieldpos.h>
#include <unicode/parsepos.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/ustring.h>

namespace cal {

namespace {

constexpr const char* kPosixLocale = "en_US_POSIX";

icu::TimeZone* createZone(const std::string& zoneId) {
    return icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(zoneId));
}

// `localeId` when the library has date formats for its language, else en_US_POSIX (the
// library would silently use its root locale's numeric formats).
icu::Locale localeWithData(const std::string& localeId) {
    const icu::Locale locale(localeId.c_str());
    if (!locale.isBogus()) {
        int32_t count = 0;
        const icu::Locale* available = icu::DateFormat::getAvailableLocales(count);
        for (int32_t i = 0; i < count; ++i) {
            if (std::string_view(available[i].getLanguage()) == locale.getLanguage()) {
                return locale;
            }
        }
    }
    return icu::Locale(kPosixLocale);
}

} // namespace

struct DateFormatter::Parts {
    std::unique_ptr<icu::DateFormat> format;
    bool followsSystemZone = false;
    std::uint64_t zoneGeneration = 0;
    icu::UnicodeString scratch; // reused between calls to keep its storage
    icu::FieldPosition position{icu::FieldPosition::DONT_CARE};
    // Text of the last whole second formatted, for formats without fractions of a second
    // (log lines come in bursts within one second).
    bool wholeSeconds = false;
    double cachedSecond = std::numeric_limits<double>::quiet_NaN();
    std::string cachedText;

    // Picks up a change of the system zone since the last call.
    void refreshZone() {
        if (!followsSystemZone) {
            return;
        }
        const auto generation = SystemTimeZone::generation();
        if (generation != zoneGeneration) {
            zoneGeneration = generation;
            cachedSecond = std::numeric_limits<double>::quiet_NaN();
            format->adoptTimeZone(createZone(SystemTimeZone::id()));
        }
    }

    static std::unique_ptr<Parts> make(std::unique_ptr<icu::DateFormat> format, bool wholeSeconds,
                                       const std::optional<std::string>& zoneId,
                                       std::string* error) {
        if (zoneId && !isKnownTimeZone(*zoneId)) {
            if (error) {
                *error = "unknown time zone \"" + *zoneId + "\"";
            }
            return nullptr;
        }
        auto parts = std::make_unique<Parts>();
        parts->format = std::move(format);
        parts->wholeSeconds = wholeSeconds;
        parts->cachedText.reserve(64);
        parts->format->setLenient(false);
        parts->followsSystemZone = !zoneId;
        parts->zoneGeneration = SystemTimeZone::generation();
        parts->format->adoptTimeZone(createZone(zoneId ? *zoneId : SystemTimeZone::id()));
        return parts;
    }
};

std::unique_ptr<DateFormatter> DateFormatter::withPattern(std::string_view pattern,
                                                          const std::string& localeId,
                                                          const std::optional<std::string>& zoneId,
                                                          std::string* error) {
    UErrorCode status = U_ZERO_ERROR;
    auto format = std::make_unique<icu::SimpleDateFormat>(
        icu::UnicodeString::fromUTF8(icu::StringPiece(pattern.data(), pattern.size())),
        icu::Locale(localeId.c_str()), status);
    if (U_FAILURE(status)) {
        if (error) {
            *error = "bad date pattern \"" + std::string(pattern) + "\": " + u_errorName(status);
        }
        return nullptr;
    }
    // Fractions of a second come only from the 'S' field (a quoted letter S merely gives up
    // the cache).
    const bool wholeSeconds = pattern.find('S') == std::string_view::npos;
    auto parts = Parts::make(std::move(format), wholeSeconds, zoneId, error);
    return parts ? std::unique_ptr<DateFormatter>(new DateFormatter(std::move(parts))) : nullptr;
}

std::unique_ptr<DateFormatter>
DateFormatter::withShortDate(TimeStyle timeStyle, const std::string& localeId,
                             const std::optional<std::string>& zoneId, std::string* error) {
    const auto time =
        timeStyle == TimeStyle::shortTime ? icu::DateFormat::kShort : icu::DateFormat::kMedium;
    std::unique_ptr<icu::DateFormat> format(icu::DateFormat::createDateTimeInstance(
        icu::DateFormat::kShort, time, localeWithData(localeId)));
    if (!format) {
        if (error) {
            *error = "no date format for locale \"" + localeId + "\"";
        }
        return nullptr;
    }
    auto parts = Parts::make(std::move(format), true, zoneId, error);
    return parts ? std::unique_ptr<DateFormatter>(new DateFormatter(std::move(parts))) : nullptr;
}

DateFormatter::DateFormatter(std::unique_ptr<Parts> parts) : parts_(std::move(parts)) {}

DateFormatter::~DateFormatter() = default;

std::size_t DateFormatter::format(Date date, char* buffer, std::size_t size) const {
    if (size == 0) {
        return 0;
    }
    const double millis = unixTimeFromDate(date) * 1000.0;
    const double second = std::floor(millis / 1000.0);
    std::lock_guard guard(lock_);
    Parts& p = *parts_;
    p.refreshZone();
    if (!(p.wholeSeconds && second == p.cachedSecond)) {
        p.scratch.remove();
        p.format->format(millis, p.scratch, p.position);
        char text[256];
        UErrorCode status = U_ZERO_ERROR;
        int32_t length = 0;
        u_strToUTF8(text, sizeof text, &length, p.scratch.getBuffer(), p.scratch.length(), &status);
        if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING) {
            buffer[0] = '\0';
            return 0;
        }
        p.cachedText.assign(text, static_cast<std::size_t>(length));
        p.cachedSecond = p.wholeSeconds ? second : std::numeric_limits<double>::quiet_NaN();
    }
    if (p.cachedText.size() >= size) {
        buffer[0] = '\0';
        return 0;
    }
    std::memcpy(buffer, p.cachedText.data(), p.cachedText.size() + 1);
    return p.cachedText.size();
}

std::string DateFormatter::format(Date date) const {
    char buffer[256];
    return std::string(buffer, format(date, buffer, sizeof buffer));
}

std::optional<Date> DateFormatter::parse(std::string_view text) const {
    const auto unicode = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), text.size()));
    icu::ParsePosition position(0);
    std::lock_guard guard(lock_);
    parts_->refreshZone();
    const UDate millis = parts_->format->parse(unicode, position);
    if (position.getErrorIndex() >= 0 || position.getIndex() != unicode.length()) {
        return std::nullopt;
    }
    return dateFromUnixTime(millis / 1000.0);
}

// The process-wide formatters below are created on first use and never destroyed, so that
// late log lines still find them.

std::size_t formatLogDate(Date date, char* buffer, std::size_t size) {
    static const DateFormatter* const formatter =
        DateFormatter::withPattern(kLogDatePattern, kPosixLocale, std::nullopt, nullptr).release();
    return formatter->format(date, buffer, size);
}

std::string logDateText(Date date) {
    char buffer[64];
    return std::string(buffer, formatLogDate(date, buffer, sizeof buffer));
}

std::string userLocaleId() {
    for (const char* name : {"LC_ALL", "LC_TIME", "LANG"}) {
        const char* value = std::getenv(name);
        if (value == nullptr || *value == '\0') {
            continue;
        }
        std::string id(value);
        id = id.substr(0, id.find_first_of(".@"));
        if (id.empty() || id == "C" || id == "POSIX") {
            return kPosixLocale;
        }
        return id;
    }
    return kPosixLocale;
}

std::string shortDateShortTimeText(Date date) {
    static const DateFormatter* const formatter =
        DateFormatter::withShortDate(DateFormatter::TimeStyle::shortTime, userLocaleId(),
                                     std::nullopt, nullptr)
            .release();
    return formatter->format(date);
}

std::string shortDateMediumTimeText(Date date) {
    static const DateFormatter* const formatter =
        DateFormatter::withShortDate(DateFormatter::TimeStyle::mediumTime, userLocaleId(),
                                     std::nullopt, nullptr)
            .release();
    return formatter->format(date);
}

std::optional<Date> parseLogTimestamp(std::string_view text) {
    static const DateFormatter* const parser =
        DateFormatter::withPattern(kLogTimestampPattern, kPosixLocale, "UTC", nullptr).release();
    return parser->parse(text);
}

} // namespace cal

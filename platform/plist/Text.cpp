#include "platform/plist/Text.h"

#include "platform/time/CivilDate.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace plist::text {

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
// Whole seconds of 0001-01-01 and 10000-01-01 relative to the reference date.
constexpr double kFirstSecond = -63113904000.0;
constexpr double kEndSecond = 252423993600.0;

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Digit(char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+') {
        return 62;
    }
    if (c == '/') {
        return 63;
    }
    return -1;
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Decodes one UTF-8 sequence at `i`; returns the code point and advances `i`, or -1.
std::int32_t decodeUtf8(std::string_view s, std::size_t& i) {
    const auto byte = [&](std::size_t k) {
        return static_cast<std::uint8_t>(s[k]);
    };
    const std::uint8_t b0 = byte(i);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    int length;
    std::int32_t cp, minimum;
    if ((b0 & 0xE0) == 0xC0) {
        length = 2, cp = b0 & 0x1F, minimum = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        length = 3, cp = b0 & 0x0F, minimum = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        length = 4, cp = b0 & 0x07, minimum = 0x10000;
    } else {
        return -1;
    }
    if (s.size() - i < static_cast<std::size_t>(length)) {
        return -1;
    }
    for (int k = 1; k < length; ++k) {
        const std::uint8_t b = byte(i + k);
        if ((b & 0xC0) != 0x80) {
            return -1;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return -1;
    }
    i += length;
    return cp;
}

void appendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

} // namespace

std::string formatReal(double value, std::string_view infinity, bool plusInfinity) {
    if (std::isnan(value)) {
        return "nan";
    }
    if (std::isinf(value)) {
        return (value < 0 ? "-" : plusInfinity ? "+" : "") + std::string(infinity);
    }
    std::array<char, 32> buffer;
    auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    return std::string(buffer.data(), result.ptr);
}

std::optional<CivilTime> civilTime(Date date) {
    const double seconds = std::floor(date.secondsSinceReferenceDate);
    if (!(seconds >= kFirstSecond && seconds < kEndSecond)) {
        return std::nullopt;
    }
    const auto whole = static_cast<std::int64_t>(seconds);
    std::int64_t days = whole / kSecondsPerDay;
    std::int64_t rest = whole % kSecondsPerDay;
    if (rest < 0) {
        rest += kSecondsPerDay;
        --days;
    }
    const timebase::CivilDate civil =
        timebase::CivilDate::fromDayNumber(days + timebase::kReferenceDayNumber);
    CivilTime t{civil.year, civil.month, civil.day, 0, 0, 0};
    t.hour = static_cast<int>(rest / 3600);
    t.minute = static_cast<int>(rest / 60 % 60);
    t.second = static_cast<int>(rest % 60);
    return t;
}

std::optional<std::string> formatIso8601(Date date) {
    auto t = civilTime(date);
    if (!t) {
        return std::nullopt;
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02dZ",
                  static_cast<int>(t->year), t->month, t->day, t->hour, t->minute, t->second);
    return std::string(buffer);
}

std::optional<Date> parseIso8601(std::string_view s) {
    // YYYY-MM-DDTHH:MM:SSZ
    if (s.size() != 20 || s[4] != '-' || s[7] != '-' || s[10] != 'T' || s[13] != ':' ||
        s[16] != ':' || s[19] != 'Z') {
        return std::nullopt;
    }
    const auto field = [&](std::size_t at, std::size_t length) -> int {
        int v = 0;
        for (std::size_t k = at; k < at + length; ++k) {
            if (s[k] < '0' || s[k] > '9') {
                return -1;
            }
            v = v * 10 + (s[k] - '0');
        }
        return v;
    };
    const int year = field(0, 4), month = field(5, 2), day = field(8, 2);
    const int hour = field(11, 2), minute = field(14, 2), second = field(17, 2);
    if (year < 1 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 || minute < 0 ||
        minute > 59 || second < 0 || second > 59) {
        return std::nullopt;
    }
    if (day > timebase::CivilDate::daysInMonth(year, month)) {
        return std::nullopt;
    }
    const std::int64_t days =
        timebase::CivilDate{year, month, day}.dayNumber() - timebase::kReferenceDayNumber;
    return Date{static_cast<double>(days * kSecondsPerDay + hour * 3600 + minute * 60 + second)};
}

std::string formatDescriptionDate(Date date) {
    auto t = civilTime(date);
    if (!t) {
        return formatReal(date.secondsSinceReferenceDate);
    }
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d +0000",
                  static_cast<int>(t->year), t->month, t->day, t->hour, t->minute, t->second);
    return buffer;
}

std::string encodeBase64(const Data& data, std::size_t lineLength, std::string_view linePrefix) {
    std::string encoded;
    encoded.reserve((data.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < data.size(); i += 3) {
        const std::uint32_t n = data[i] << 16 | data[i + 1] << 8 | data[i + 2];
        encoded += kBase64Alphabet[n >> 18];
        encoded += kBase64Alphabet[(n >> 12) & 63];
        encoded += kBase64Alphabet[(n >> 6) & 63];
        encoded += kBase64Alphabet[n & 63];
    }
    if (i < data.size()) {
        const bool two = i + 1 < data.size();
        const std::uint32_t n = data[i] << 16 | (two ? data[i + 1] << 8 : 0);
        encoded += kBase64Alphabet[n >> 18];
        encoded += kBase64Alphabet[(n >> 12) & 63];
        encoded += two ? kBase64Alphabet[(n >> 6) & 63] : '=';
        encoded += '=';
    }
    if (lineLength == 0) {
        return encoded;
    }
    std::string lines;
    lines.reserve(encoded.size() + (encoded.size() / lineLength + 1) * (linePrefix.size() + 1));
    for (std::size_t at = 0; at < encoded.size(); at += lineLength) {
        lines += linePrefix;
        lines.append(encoded, at, lineLength);
        lines += '\n';
    }
    return lines;
}

std::optional<Data> decodeBase64(std::string_view text) {
    Data data;
    data.reserve(text.size() / 4 * 3);
    std::uint32_t bits = 0;
    int count = 0;
    int padding = 0;
    for (char c : text) {
        if (isSpace(c)) {
            continue;
        }
        if (c == '=') {
            ++padding;
            continue;
        }
        const int digit = base64Digit(c);
        if (digit < 0 || padding > 0) {
            return std::nullopt;
        }
        bits = bits << 6 | static_cast<std::uint32_t>(digit);
        if (++count == 4) {
            data.push_back(static_cast<std::uint8_t>(bits >> 16));
            data.push_back(static_cast<std::uint8_t>(bits >> 8));
            data.push_back(static_cast<std::uint8_t>(bits));
            bits = 0;
            count = 0;
        }
    }
    if (count == 1 || padding > 2) {
        return std::nullopt;
    }
    if (count == 2) {
        data.push_back(static_cast<std::uint8_t>(bits >> 4));
    } else if (count == 3) {
        data.push_back(static_cast<std::uint8_t>(bits >> 10));
        data.push_back(static_cast<std::uint8_t>(bits >> 2));
    }
    return data;
}

std::optional<std::size_t> invalidUtf8Offset(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        if (static_cast<std::uint8_t>(text[i]) < 0x80) {
            ++i;
            continue;
        }
        const std::size_t at = i;
        if (decodeUtf8(text, i) < 0) {
            return at;
        }
    }
    return std::nullopt;
}

std::optional<std::u16string> utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const std::int32_t cp = decodeUtf8(text, i);
        if (cp < 0) {
            return std::nullopt;
        }
        if (cp >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::optional<std::string> utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size() * 2);
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) {
                return std::nullopt;
            }
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return std::nullopt;
        }
        appendUtf8(out, cp);
    }
    return out;
}

} // namespace plist::text

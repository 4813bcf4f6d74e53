#include "platform/calendar/BootDate.h"

#include "platform/files/Files.h"

#include <charconv>
#include <string>

namespace cal {

namespace {

// /proc/stat grows with the processors and interrupts; a few hundred kilobytes at most.
constexpr std::size_t kMaxProcStatSize = 4 * 1024 * 1024;

} // namespace

std::optional<Date> bootDateFromProcStat(std::string_view text) {
    static constexpr std::string_view kKey = "btime ";
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (!line.starts_with(kKey)) {
            continue;
        }
        line.remove_prefix(kKey.size());
        unsigned long long seconds = 0;
        const auto [rest, error] = std::from_chars(line.data(), line.data() + line.size(), seconds);
        if (error != std::errc() || rest == line.data() || rest != line.data() + line.size()) {
            return std::nullopt;
        }
        return dateFromUnixTime(static_cast<double>(seconds));
    }
    return std::nullopt;
}

std::optional<Date> readBootDate(const std::string& procStatPath) {
    const auto bytes = files::readFile(procStatPath, kMaxProcStatSize);
    if (!bytes) {
        return std::nullopt;
    }
    return bootDateFromProcStat(std::string(bytes->begin(), bytes->end()));
}

} // namespace cal

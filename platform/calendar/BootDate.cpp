#include "platform/calendar/BootDate.h"

#include <charconv>
#include <fstream>
#include <iterator>

namespace cal {

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
    std::ifstream in(procStatPath);
    if (!in) {
        return std::nullopt;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return bootDateFromProcStat(text);
}

} // namespace cal

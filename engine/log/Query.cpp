#include "engine/log/Query.h"

#include <syslog.h>

namespace logtool {

namespace {

constexpr std::int64_t kMicrosecondsPerSecond = 1'000'000;
constexpr std::int64_t kMaxSpanSeconds = 100LL * 366 * 24 * 3600;

} // namespace

bool Query::admits(const LogEntry& entry) const {
    if (sinceUsec && entry.realtimeUsec < *sinceUsec) {
        return false;
    }
    if ((entry.priority == LOG_INFO && !includeInfo) ||
        (entry.priority == LOG_DEBUG && !includeDebug)) {
        return false;
    }
    if (facility && entry.subsystem != *facility) {
        return false;
    }
    return !predicate || predicate->matches(entry);
}

std::optional<std::int64_t> parseSpan(std::string_view text) {
    std::int64_t count = 0;
    std::size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        count = count * 10 + (text[i] - '0');
        if (count > kMaxSpanSeconds) {
            return std::nullopt;
        }
    }
    if (i == 0 || count == 0 || text.size() - i > 1) {
        return std::nullopt;
    }
    std::int64_t unit = 1;
    if (i < text.size()) {
        switch (text[i]) {
        case 's':
            break;
        case 'm':
            unit = 60;
            break;
        case 'h':
            unit = 3600;
            break;
        case 'd':
            unit = 86400;
            break;
        default:
            return std::nullopt;
        }
    }
    if (count * unit > kMaxSpanSeconds) {
        return std::nullopt;
    }
    return count * unit * kMicrosecondsPerSecond;
}

} // namespace logtool

#pragma once

#include "engine/log/LogEntry.h"
#include "engine/log/Predicate.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace logtool {

// Which entries to show: a predicate, a start time and whether info and debug entries
// count (entries from log files have no level and are always "Default").
struct Query {
    std::optional<Predicate> predicate;
    std::optional<std::string> facility; // the legacy reader's subsystem
    std::optional<std::int64_t> sinceUsec;
    bool includeInfo = true;
    bool includeDebug = true;

    bool admits(const LogEntry& entry) const;
};

// "<count>[s|m|h|d]" (no unit: seconds) as microseconds; none for anything else, a zero
// count, or a span beyond a hundred years.
std::optional<std::int64_t> parseSpan(std::string_view text);

} // namespace logtool

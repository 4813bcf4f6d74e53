#pragma once

#include "engine/log/LogEntry.h"
#include "engine/log/Output.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace cal {
class DateFormatter;
}

namespace logtool {

// Timestamps in the system time zone.
class Timestamps {
public:
    // None when the date formats cannot be made.
    static std::optional<Timestamps> create();

    // "yyyy.MM.dd HH:mm:ss.SSSSSSZZZ" with the microseconds exact
    // ("2026.12.08 10:15:30.123456+0100"), the pattern the application's console parses.
    std::string console(std::int64_t realtimeUsec) const;
    // "yyyy-MM-dd HH:mm:ss.SSS".
    std::string compact(std::int64_t realtimeUsec) const;
    // "MMM dd HH:mm:ss".
    std::string syslog(std::int64_t realtimeUsec) const;

private:
    std::shared_ptr<const cal::DateFormatter> consoleSeconds_, zone_, compactSeconds_,
        syslogSeconds_;
};

// Prints entries in one style: "compact" and "syslog" one readable line per entry, "json"
// one array of objects with "subsystem", "timestamp", "messageType", "eventMessage" and
// "processImagePath", written as the entries come.
class EntryPrinter {
public:
    virtual ~EntryPrinter() = default;
    virtual void begin(Output&) {}
    virtual void print(const LogEntry& entry, Output& output) = 0;
    virtual void end(Output&) {}
};

enum class Style { Compact, Syslog, Json };

std::optional<Style> styleNamed(std::string_view name);
std::unique_ptr<EntryPrinter> makePrinter(Style style, Timestamps timestamps);

} // namespace logtool

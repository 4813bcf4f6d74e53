#include "engine/log/Styles.h"

#include "platform/calendar/DateFormatter.h"

#include <cstdio>
#include <nlohmann/json.hpp>

namespace logtool {

namespace {

constexpr std::int64_t kMicrosecondsPerSecond = 1'000'000;

struct SplitTime {
    cal::Date wholeSecond;
    std::int64_t microseconds;
};

SplitTime split(std::int64_t realtimeUsec) {
    std::int64_t seconds = realtimeUsec / kMicrosecondsPerSecond;
    std::int64_t micro = realtimeUsec % kMicrosecondsPerSecond;
    if (micro < 0) {
        micro += kMicrosecondsPerSecond;
        --seconds;
    }
    return {cal::dateFromUnixTime(static_cast<double>(seconds)), micro};
}

std::shared_ptr<const cal::DateFormatter> systemZoneFormat(std::string_view pattern) {
    return cal::DateFormatter::withPattern(pattern, "en_US_POSIX", std::nullopt, nullptr);
}

std::string digits(std::int64_t value, int width) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*lld", width, static_cast<long long>(value));
    return text;
}

// "kbectl[42]", or the name alone when the process id is unknown.
std::string processText(const LogEntry& entry) {
    std::string text = entry.processName.empty() ? "?" : entry.processName;
    if (entry.pid > 0) {
        text += '[' + std::to_string(entry.pid) + ']';
    }
    return text;
}

const char* shortTypeName(MessageType type) {
    switch (type) {
    case MessageType::Info:
        return "I ";
    case MessageType::Debug:
        return "Db";
    case MessageType::Error:
        return "E ";
    default:
        return "Df";
    }
}

class CompactPrinter final : public EntryPrinter {
public:
    explicit CompactPrinter(Timestamps timestamps) : timestamps_(std::move(timestamps)) {}
    void print(const LogEntry& entry, Output& output) override {
        output.write(timestamps_.compact(entry.realtimeUsec) + ' ' +
                     shortTypeName(messageTypeForPriority(entry.priority)) + ' ' +
                     processText(entry) + ' ' + entry.message + '\n');
    }

private:
    Timestamps timestamps_;
};

class SyslogPrinter final : public EntryPrinter {
public:
    explicit SyslogPrinter(Timestamps timestamps) : timestamps_(std::move(timestamps)) {}
    void print(const LogEntry& entry, Output& output) override {
        output.write(timestamps_.syslog(entry.realtimeUsec) + ' ' +
                     (entry.hostname.empty() ? "localhost" : entry.hostname) + ' ' +
                     processText(entry) + " <" +
                     messageTypeName(messageTypeForPriority(entry.priority)) +
                     ">: " + entry.message + '\n');
    }

private:
    Timestamps timestamps_;
};

class JsonPrinter final : public EntryPrinter {
public:
    explicit JsonPrinter(Timestamps timestamps) : timestamps_(std::move(timestamps)) {}
    void begin(Output& output) override { output.write("["); }
    void print(const LogEntry& entry, Output& output) override {
        const nlohmann::json object = {
            {"subsystem", entry.subsystem},
            {"timestamp", timestamps_.console(entry.realtimeUsec)},
            {"messageType", messageTypeName(messageTypeForPriority(entry.priority))},
            {"eventMessage", entry.message},
            {"processImagePath", entry.processImagePath},
        };
        // Text that is not UTF-8 (a journal field may hold any bytes) becomes U+FFFD.
        output.write((printed_ ? ",\n" : "\n") +
                     object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        printed_ = true;
    }
    void end(Output& output) override { output.write(printed_ ? "\n]\n" : "]\n"); }

private:
    Timestamps timestamps_;
    bool printed_ = false;
};

} // namespace

std::optional<Timestamps> Timestamps::create() {
    Timestamps made;
    made.consoleSeconds_ = systemZoneFormat("yyyy.MM.dd HH:mm:ss");
    made.zone_ = systemZoneFormat("ZZZ");
    made.compactSeconds_ = systemZoneFormat("yyyy-MM-dd HH:mm:ss");
    made.syslogSeconds_ = systemZoneFormat("MMM dd HH:mm:ss");
    if (!made.consoleSeconds_ || !made.zone_ || !made.compactSeconds_ || !made.syslogSeconds_) {
        return std::nullopt;
    }
    return made;
}

std::string Timestamps::console(std::int64_t realtimeUsec) const {
    const SplitTime time = split(realtimeUsec);
    return consoleSeconds_->format(time.wholeSecond) + '.' + digits(time.microseconds, 6) +
           zone_->format(time.wholeSecond);
}

std::string Timestamps::compact(std::int64_t realtimeUsec) const {
    const SplitTime time = split(realtimeUsec);
    return compactSeconds_->format(time.wholeSecond) + '.' + digits(time.microseconds / 1000, 3);
}

std::string Timestamps::syslog(std::int64_t realtimeUsec) const {
    return syslogSeconds_->format(split(realtimeUsec).wholeSecond);
}

std::optional<Style> styleNamed(std::string_view name) {
    if (name == "compact") {
        return Style::Compact;
    }
    if (name == "syslog") {
        return Style::Syslog;
    }
    if (name == "json") {
        return Style::Json;
    }
    return std::nullopt;
}

std::unique_ptr<EntryPrinter> makePrinter(Style style, Timestamps timestamps) {
    switch (style) {
    case Style::Syslog:
        return std::make_unique<SyslogPrinter>(std::move(timestamps));
    case Style::Json:
        return std::make_unique<JsonPrinter>(std::move(timestamps));
    default:
        return std::make_unique<CompactPrinter>(std::move(timestamps));
    }
}

} // namespace logtool

#include "engine/log/Commands.h"

#include "engine/log/JournalAccess.h"
#include "engine/log/LogFileSource.h"
#include "engine/log/Query.h"
#include "engine/log/Styles.h"
#include "platform/dispatch/Time.h"
#include "platform/syslog/LogSettings.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace logtool {

namespace {

constexpr const char* kLogUsage =
    "usage: log show [--debug] [--info] [--last <n>[m|h|d]] [--predicate <predicate>]\n"
    "                [--style compact|syslog|json]\n"
    "       log config --subsystem <subsystem> --mode level:<level>,persist:<level>\n";
constexpr const char* kSyslogUsage =
    "usage: syslog [-k Facility <subsystem>] [-k Time ge -<n>[s|m|h|d]]\n";

int refuse(const std::string& message, const char* usage = nullptr) {
    std::fprintf(stderr, "%s\n", message.c_str());
    if (usage) {
        std::fputs(usage, stderr);
    }
    return kExitUsage;
}

int failWith(const std::string& message) {
    std::fprintf(stderr, "%s\n", message.c_str());
    return kExitFailure;
}

std::int64_t nowUsec() {
    return std::chrono::duration_cast<std::chrono::microseconds>(dispatch::wallNow()).count();
}

// The entries to read: the journal when it is running and this user may read it (falling
// back when it cannot be opened), else the programs' own log files.
std::unique_ptr<EntrySource> openEntries(JournalSource::Records records, const Query& query) {
    if (journalRunning() && mayReadSystemJournal()) {
        if (auto journal = JournalSource::open(journalLocation(), records, nullptr)) {
            const auto subsystems = query.predicate ? query.predicate->subsystems() : std::nullopt;
            const bool restricted = records != JournalSource::Records::Unified || !subsystems ||
                                    journal->restrictToSubsystems(*subsystems);
            const bool positioned = !query.sinceUsec || journal->seekSince(*query.sinceUsec);
            if (restricted && positioned) {
                return journal;
            }
        }
    }
    return openProgramLogs(programLogFolders());
}

// Streams every admitted entry until the entries end or the reader goes away.
int show(JournalSource::Records records, const Query& query, Style style, int outputFd,
         const char* program) {
    std::optional<Timestamps> timestamps = Timestamps::create();
    if (!timestamps) {
        return failWith(std::string(program) + ": cannot make the date formats");
    }
    const std::unique_ptr<EntryPrinter> printer = makePrinter(style, std::move(*timestamps));
    const std::unique_ptr<EntrySource> source = openEntries(records, query);
    Output output(outputFd);
    printer->begin(output);
    LogEntry entry;
    while (!output.ended() && source->next(entry)) {
        if (query.admits(entry)) {
            printer->print(entry, output);
        }
    }
    printer->end(output);
    output.flush();
    if (output.closedByReader()) {
        return 0;
    }
    if (!output.failure().empty()) {
        return failWith(std::string(program) + ": " + output.failure());
    }
    if (!source->failure().empty()) {
        return failWith(std::string(program) + ": " + source->failure());
    }
    return 0;
}

// The value after option args[i], advancing i; none (after telling why) when missing.
std::optional<std::string_view> optionValue(std::span<const std::string_view> args, std::size_t& i,
                                            const char* program) {
    if (i + 1 >= args.size()) {
        std::fprintf(stderr, "%s: option '%.*s' needs a value.\n", program,
                     static_cast<int>(args[i].size()), args[i].data());
        return std::nullopt;
    }
    return args[++i];
}

int showCommand(std::span<const std::string_view> args, int outputFd) {
    Query query;
    query.includeInfo = false;
    query.includeDebug = false;
    Style style = Style::Compact;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view option = args[i];
        if (option == "--debug") {
            query.includeDebug = true;
        } else if (option == "--info") {
            query.includeInfo = true;
        } else if (option == "--last" || option == "--predicate" || option == "--style") {
            const auto value = optionValue(args, i, "log");
            if (!value) {
                return kExitUsage;
            }
            if (option == "--last") {
                const auto span = parseSpan(*value);
                if (!span) {
                    return refuse("log: --last takes a count with an optional unit m, h or d "
                                  "(30m, 2h, 1d), not '" +
                                  std::string(*value) + "'.");
                }
                query.sinceUsec = nowUsec() - *span;
            } else if (option == "--predicate") {
                std::string error;
                query.predicate = Predicate::parse(*value, &error);
                if (!query.predicate) {
                    return refuse("log: predicate not understood: " + error + ": '" +
                                  std::string(*value) + "'.");
                }
            } else {
                const auto named = styleNamed(*value);
                if (!named) {
                    return refuse("log: unknown style '" + std::string(*value) +
                                  "' (compact, syslog or json).");
                }
                style = *named;
            }
        } else {
            return refuse("log: unknown option '" + std::string(option) + "'.", kLogUsage);
        }
    }
    return show(JournalSource::Records::Unified, query, style, outputFd, "log");
}

int configCommand(std::span<const std::string_view> args) {
    std::optional<std::string_view> subsystem, mode;
    for (std::size_t i = 0; i < args.size(); ++i) {
        auto& target = args[i] == "--subsystem" ? subsystem : mode;
        if (args[i] != "--subsystem" && args[i] != "--mode") {
            return refuse("log: unknown option '" + std::string(args[i]) + "'.", kLogUsage);
        }
        target = optionValue(args, i, "log");
        if (!target) {
            return kExitUsage;
        }
    }
    if (!subsystem || !mode) {
        return refuse("log: config needs --subsystem and --mode.", kLogUsage);
    }
    if (!systemlog::isValidSubsystemName(*subsystem)) {
        return refuse("log: '" + std::string(*subsystem) + "' is not a subsystem name.");
    }
    std::string error;
    const auto parsed = systemlog::parseMode(
        *mode, systemlog::readMode(*subsystem).value_or(systemlog::LogMode{}), &error);
    if (!parsed) {
        return refuse("log: bad mode '" + std::string(*mode) + "': " + error + ".");
    }
    if (geteuid() != 0) {
        return failWith("log: config must be run as root.");
    }
    if (!systemlog::writeMode(*subsystem, *parsed, &error)) {
        return failWith("log: cannot save the mode of " + std::string(*subsystem) + ": " + error +
                        ".");
    }
    return 0;
}

bool isLegacyOperator(std::string_view word) {
    for (const char* op : {"eq", "ne", "gt", "ge", "lt", "le"}) {
        if (word == op) {
            return true;
        }
    }
    return false;
}

// "-<n>[s|m|h|d]" before now, or whole seconds since 1970.
std::optional<std::int64_t> parseLegacyTime(std::string_view text) {
    if (text.starts_with('-')) {
        const auto span = parseSpan(text.substr(1));
        return span ? std::optional(nowUsec() - *span) : std::nullopt;
    }
    std::int64_t seconds = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || seconds < 0 ||
        seconds > INT64_MAX / 1'000'000) {
        return std::nullopt;
    }
    return seconds * 1'000'000;
}

} // namespace

int runLog(std::span<const std::string_view> args, int outputFd) {
    if (args.empty()) {
        return refuse("log: a verb is needed (show or config).", kLogUsage);
    }
    if (args[0] == "show") {
        return showCommand(args.subspan(1), outputFd);
    }
    if (args[0] == "config") {
        return configCommand(args.subspan(1));
    }
    return refuse("log: unknown verb '" + std::string(args[0]) + "'.", kLogUsage);
}

int runSyslog(std::span<const std::string_view> args, int outputFd) {
    Query query;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] != "-k" || i + 2 >= args.size()) {
            return refuse("syslog: expected -k <key> [<operator>] <value>.", kSyslogUsage);
        }
        const std::string_view key = args[i + 1];
        const bool hasOperator = i + 3 < args.size() && isLegacyOperator(args[i + 2]);
        const std::string_view op = hasOperator ? args[i + 2] : "eq";
        const std::string_view value = args[i + (hasOperator ? 3 : 2)];
        i += hasOperator ? 3 : 2;
        if (key == "Facility" && op == "eq") {
            query.facility = std::string(value);
        } else if (key == "Time" && op == "ge") {
            query.sinceUsec = parseLegacyTime(value);
            if (!query.sinceUsec) {
                return refuse("syslog: Time takes -<n>[s|m|h|d] or seconds since 1970, not '" +
                              std::string(value) + "'.");
            }
        } else {
            return refuse("syslog: only '-k Facility <subsystem>' and '-k Time ge <time>' are "
                          "understood, not '-k " +
                              std::string(key) + (hasOperator ? " " + std::string(op) : "") + "'.",
                          kSyslogUsage);
        }
    }
    return show(JournalSource::Records::Legacy, query, Style::Syslog, outputFd, "syslog");
}

} // namespace logtool

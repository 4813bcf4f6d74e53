#include "application/console/KBEConsoleLogText.h"

#include "application/ui/VRNRichText.h"
#include "common/VRNLog.h"
#include "platform/calendar/DateFormatter.h"

#include <QTextCursor>
#include <QTextDocument>
#include <charconv>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace {

constexpr std::string_view kProductSubsystem = "com.vornhal.keelbrook";
constexpr std::string_view kDaemonExecutable = "com.vornhal.keelbrook.scheduler";
constexpr std::string_view kEngineSource = "Time Machine";
constexpr std::string_view kSkippedEngineText = "thermal pressure level";
// The engine's worker: the only sender whose legacy records are shown.
constexpr std::string_view kEngineSender = "backupd";

std::string stringField(const nlohmann::json& entry, const char* key) {
    const auto found = entry.find(key);
    return found != entry.end() && found->is_string() ? found->get<std::string>() : std::string();
}

std::string lastPathComponent(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool containsCaseInsensitive(const std::string& text, std::string_view part) {
    return QString::fromStdString(text).contains(
        QString::fromUtf8(part.data(), static_cast<qsizetype>(part.size())), Qt::CaseInsensitive);
}

std::string timeText(const std::string& timestamp) {
    const std::optional<cal::Date> date = cal::parseLogTimestamp(timestamp);
    return date ? cal::shortDateMediumTimeText(*date) : "???";
}

const QColor& levelColor(const std::string& messageType, const KBEConsoleStyle& style) {
    if (messageType == "Error") {
        return style.red;
    }
    if (messageType == "Default") {
        return style.green;
    }
    if (messageType == "Debug") {
        return style.orange;
    }
    return style.plain;
}

// The source shown for an entry, or none for an entry that is not shown.
std::optional<std::string> sourceName(const nlohmann::json& entry) {
    if (stringField(entry, "subsystem") == kProductSubsystem) {
        const std::string name = lastPathComponent(stringField(entry, "processImagePath"));
        // "Keelbrook" and "Scheduler" joined by a no-break space.
        return name == kDaemonExecutable ? "Keelbrook\u00a0Scheduler" : name;
    }
    if (containsCaseInsensitive(stringField(entry, "eventMessage"), kSkippedEngineText)) {
        return std::nullopt;
    }
    return std::string(kEngineSource);
}

} // namespace

std::unique_ptr<QTextDocument> KBEConsoleTextForLogEntries(std::string_view json,
                                                           const KBEConsoleStyle& style) {
    auto document = std::make_unique<QTextDocument>();
    nlohmann::json entries;
    try {
        entries = nlohmann::json::parse(json);
    } catch (const nlohmann::json::exception& failure) {
        VRNLog(VRNLogLevelError, "Failed to read logs. %@", std::string(failure.what()));
        return document;
    }
    if (!entries.is_array()) {
        VRNLog(VRNLogLevelError, "Failed to read logs. %@",
               std::string("The log is not an array of entries."));
        return document;
    }
    QTextCursor cursor(document.get());
    const QTextCharFormat plain = style.attributes(style.plain);
    const QTextCharFormat blue = style.attributes(style.blue);
    for (const nlohmann::json& entry : entries) {
        if (!entry.is_object()) {
            continue;
        }
        const std::optional<std::string> source = sourceName(entry);
        if (!source) {
            continue;
        }
        const QTextCharFormat level =
            style.attributes(levelColor(stringField(entry, "messageType"), style));
        VRNAppendAttributes<std::string>(cursor, plain, "%@ ",
                                         timeText(stringField(entry, "timestamp")));
        VRNAppendString(cursor, QString::fromStdString(*source), blue);
        VRNAppendAttributes<std::string>(cursor, level, " %@\n",
                                         stringField(entry, "eventMessage"));
    }
    return document;
}

namespace {

// One record of a "syslog" line.
struct LegacyRecord {
    std::string time; // "MMM dd HH:mm:ss"
    std::string sender;
    std::string message;
};

constexpr std::size_t kLegacyTimeLength = 15; // "Dec 08 10:15:30"

// "MMM dd HH:mm:ss host program[pid] <Type>: message"; none for a line of another shape
// (the continuation of a message that spans lines).
std::optional<LegacyRecord> parseLegacyLine(std::string_view line) {
    if (line.size() <= kLegacyTimeLength || line[kLegacyTimeLength] != ' ') {
        return std::nullopt;
    }
    LegacyRecord record{std::string(line.substr(0, kLegacyTimeLength)), {}, {}};
    std::string_view rest = line.substr(kLegacyTimeLength + 1);
    const std::size_t hostEnd = rest.find(' ');
    if (hostEnd == std::string_view::npos) {
        return std::nullopt;
    }
    rest = rest.substr(hostEnd + 1);
    const std::size_t senderEnd = rest.find(' ');
    const std::size_t typeEnd = rest.find(">: ");
    if (senderEnd == std::string_view::npos || typeEnd == std::string_view::npos ||
        typeEnd < senderEnd || rest.substr(senderEnd + 1, 1) != "<") {
        return std::nullopt;
    }
    const std::string_view sender = rest.substr(0, senderEnd);
    record.sender = std::string(sender.substr(0, sender.find('[')));
    record.message = std::string(rest.substr(typeEnd + 3));
    return record;
}

// The record's date: the latest year that puts it no more than a day after `now`.
std::optional<cal::Date> legacyDate(const std::string& time, cal::Date now) {
    static const cal::DateFormatter* const parser =
        cal::DateFormatter::withPattern("yyyy MMM dd HH:mm:ss", "en_US_POSIX", std::nullopt,
                                        nullptr)
            .release();
    static const cal::DateFormatter* const year =
        cal::DateFormatter::withPattern("yyyy", "en_US_POSIX", std::nullopt, nullptr).release();
    if (!parser || !year) {
        return std::nullopt;
    }
    constexpr cal::Date kOneDay = 86400;
    const std::string yearText = year->format(now);
    int thisYear = 0;
    if (std::from_chars(yearText.data(), yearText.data() + yearText.size(), thisYear).ec !=
        std::errc()) {
        return std::nullopt;
    }
    for (int candidate = thisYear + 1; candidate >= thisYear - 1; --candidate) {
        const auto date = parser->parse(std::to_string(candidate) + ' ' + time);
        if (date && *date <= now + kOneDay) {
            return date;
        }
    }
    return std::nullopt;
}

} // namespace

std::unique_ptr<QTextDocument> KBEConsoleTextForLegacyRecords(std::string_view lines,
                                                              cal::Date now) {
    std::string text;
    bool continuesShown = false;
    std::size_t start = 0;
    while (start < lines.size()) {
        std::size_t end = lines.find('\n', start);
        end = end == std::string_view::npos ? lines.size() : end;
        const std::string_view line = lines.substr(start, end - start);
        start = end + 1;
        const std::optional<LegacyRecord> record = parseLegacyLine(line);
        if (!record) {
            // The next line of a shown message that spans lines.
            if (continuesShown) {
                text.insert(text.size() - 1, "\n" + std::string(line));
            }
            continue;
        }
        continuesShown = record->sender == kEngineSender;
        if (!continuesShown) {
            continue;
        }
        const std::optional<cal::Date> date = legacyDate(record->time, now);
        const std::string dateText = date ? cal::shortDateMediumTimeText(*date) : "???";
        const bool startsBackup = record->message == "Starting automatic backup" ||
                                  record->message == "Starting manual backup";
        if (startsBackup && !text.empty()) {
            text += '\n';
        }
        text += dateText + ": " + record->message + '\n';
    }
    auto document = std::make_unique<QTextDocument>();
    document->setPlainText(QString::fromStdString(text));
    return document;
}

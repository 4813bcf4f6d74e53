#include "tools/kbeactivity/Options.h"

#include "platform/calendar/TimeZones.h"
#include "scheduler/activity/VRNActivity.h"
#include "scheduler/activity/VRNActivityLeeway.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>
#include <functional>
#include <map>

namespace kbeactivity {
namespace {

template <class Number>
std::optional<Number> parseNumber(std::string_view text) {
    Number value{};
    const char* end = text.data() + text.size();
    auto [at, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || at != end) {
        return std::nullopt;
    }
    return value;
}

// "<count><unit>" with a positive count and one of s, m, h, d, w.
std::optional<std::pair<long, char>> splitDuration(std::string_view text) {
    if (text.size() < 2) {
        return std::nullopt;
    }
    const char unit = text.back();
    auto count = parseNumber<long>(text.substr(0, text.size() - 1));
    if (!count || *count <= 0 || std::string_view("smhdw").find(unit) == std::string_view::npos) {
        return std::nullopt;
    }
    return std::pair{*count, unit};
}

std::vector<std::string_view> splitOn(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const auto at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) {
            return parts;
        }
        text.remove_prefix(at + 1);
    }
}

std::vector<std::string> words(std::string_view line) {
    std::vector<std::string> result;
    std::size_t at = 0;
    while (at < line.size()) {
        const auto begin = line.find_first_not_of(" \t\r", at);
        if (begin == std::string_view::npos) {
            break;
        }
        const auto end = line.find_first_of(" \t\r", begin);
        result.emplace_back(line.substr(begin, end - begin));
        at = end == std::string_view::npos ? line.size() : end;
    }
    return result;
}

bool digitsAt(std::string_view text, std::size_t from, std::size_t count) {
    for (std::size_t i = from; i < from + count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
    }
    return true;
}

std::optional<unsigned long> parseResult(std::string_view text) {
    if (text == "finished") {
        return VRNActivityResultFinished;
    }
    if (text == "failed") {
        return VRNActivityResultFailed;
    }
    if (text == "deferred") {
        return VRNActivityResultDeferred;
    }
    return std::nullopt;
}

std::shared_ptr<VRNActivityLeeway> parseLeeway(std::string_view text) {
    if (text == "none") {
        return VRNActivityLeeway::none();
    }
    if (text == "infinite") {
        return VRNActivityLeeway::infinite();
    }
    auto components = parseComponents(text);
    return components ? VRNActivityLeeway::activityLeewayWithDateComponents(*components) : nullptr;
}

} // namespace

std::optional<cal::DateComponents> parseComponents(std::string_view text) {
    auto parts = splitDuration(text);
    if (!parts) {
        return std::nullopt;
    }
    cal::DateComponents components;
    switch (parts->second) {
    case 's':
        components.second = parts->first;
        break;
    case 'm':
        components.minute = parts->first;
        break;
    case 'h':
        components.hour = parts->first;
        break;
    case 'd':
        components.day = parts->first;
        break;
    default:
        components.weekOfMonth = parts->first;
        break;
    }
    return components;
}

std::optional<dispatch::Duration> parseDuration(std::string_view text) {
    auto parts = splitDuration(text);
    if (!parts) {
        return std::nullopt;
    }
    static const std::map<char, long> secondsPerUnit{
        {'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}, {'w', 7 * 86400}};
    const long unit = secondsPerUnit.at(parts->second);
    // Beyond a few thousand years the nanosecond count would overflow.
    if (parts->first > 100L * 365 * 86400 / unit) {
        return std::nullopt;
    }
    return std::chrono::seconds(parts->first * unit);
}

std::optional<cal::DateComponents> parseClockTime(std::string_view text) {
    if (text.size() != 5 || text[2] != ':' || !digitsAt(text, 0, 2) || !digitsAt(text, 3, 2)) {
        return std::nullopt;
    }
    const long hour = *parseNumber<long>(text.substr(0, 2));
    const long minute = *parseNumber<long>(text.substr(3, 2));
    if (hour > 23 || minute > 59) {
        return std::nullopt;
    }
    cal::DateComponents components;
    components.hour = hour;
    components.minute = minute;
    return components;
}

std::optional<cal::Date> parseUtcDate(std::string_view text) {
    // YYYY-MM-DD HH:MM, optionally :SS.
    const bool withSeconds = text.size() == 19;
    if ((text.size() != 16 && !withSeconds) || text[4] != '-' || text[7] != '-' ||
        text[10] != ' ' || text[13] != ':' || (withSeconds && text[16] != ':') ||
        !digitsAt(text, 0, 4) || !digitsAt(text, 5, 2) || !digitsAt(text, 8, 2) ||
        !digitsAt(text, 11, 2) || !digitsAt(text, 14, 2) ||
        (withSeconds && !digitsAt(text, 17, 2))) {
        return std::nullopt;
    }
    std::tm tm{};
    tm.tm_year = *parseNumber<int>(text.substr(0, 4)) - 1900;
    tm.tm_mon = *parseNumber<int>(text.substr(5, 2)) - 1;
    tm.tm_mday = *parseNumber<int>(text.substr(8, 2));
    tm.tm_hour = *parseNumber<int>(text.substr(11, 2));
    tm.tm_min = *parseNumber<int>(text.substr(14, 2));
    tm.tm_sec = withSeconds ? *parseNumber<int>(text.substr(17, 2)) : 0;
    const std::tm asGiven = tm;
    const time_t seconds = timegm(&tm);
    // timegm normalises out-of-range fields (31 November becomes 1 December): refuse those.
    if (tm.tm_year != asGiven.tm_year || tm.tm_mon != asGiven.tm_mon ||
        tm.tm_mday != asGiven.tm_mday || tm.tm_hour != asGiven.tm_hour ||
        tm.tm_min != asGiven.tm_min || tm.tm_sec != asGiven.tm_sec) {
        return std::nullopt;
    }
    return cal::dateFromUnixTime(static_cast<double>(seconds));
}

std::string dateText(cal::Date date) {
    const auto seconds = static_cast<time_t>(std::floor(cal::unixTimeFromDate(date)));
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

std::uint32_t drawForFraction(double fraction) {
    constexpr double kLargest = 4294967295.0;
    double draw = std::ceil(fraction * kLargest);
    // The product may round below the exact value; the next draw up is then the one.
    if (draw / kLargest < fraction && draw < kLargest) {
        draw += 1;
    }
    return static_cast<std::uint32_t>(std::clamp(draw, 0.0, kLargest));
}

namespace {

using Flags = std::map<std::string_view, std::function<void()>>;
// Each handler says whether the value was good.
using Valued = std::map<std::string_view, std::function<bool(std::string_view)>>;

// The criteria options: the fields they set directly, and the calendar times, weekday and
// suspension ends they gather until `finish` puts them together.
class CriteriaOptions {
public:
    CriteriaOptions(const CriteriaOptions&) = delete; // the handlers point at this object
    CriteriaOptions& operator=(const CriteriaOptions&) = delete;

    explicit CriteriaOptions(VRNActivityCriteria& criteria) : criteria_(criteria) {
        flags = {
            {"--allow-battery",
             [this] {
                 criteria_.setAllowBattery(true);
             }},
            {"--power-nap",
             [this] {
                 criteria_.setPowerNap(true);
             }},
            {"--run-asap-if-missed",
             [this] {
                 criteria_.setRunASAPIfMissed(true);
             }},
            {"--dont-run-when-passive",
             [this] {
                 criteria_.setDontRunWhenPassive(true);
             }},
            {"--dont-run-with-sleep-preventers",
             [this] {
                 criteria_.setDontRunWithSleepPreventers(true);
             }},
            {"--dont-run-when-not-wired",
             [this] {
                 criteria_.setDontRunWhenNotNetworkWired(true);
             }},
        };
        valued = {
            {"--interval",
             [this](std::string_view v) {
                 criteria_.setInterval(parseComponents(v));
                 return criteria_.interval().has_value();
             }},
            {"--delay",
             [this](std::string_view v) {
                 criteria_.setDelay(parseComponents(v));
                 return criteria_.delay().has_value();
             }},
            {"--failure-delay",
             [this](std::string_view v) {
                 criteria_.setFailureDelay(parseComponents(v));
                 return criteria_.failureDelay().has_value();
             }},
            {"--calendar",
             [this](std::string_view v) {
                 return addCalendarTimes(v);
             }},
            {"--weekday",
             [this](std::string_view v) {
                 weekday_ = parseWeekday(v);
                 return weekday_.has_value();
             }},
            {"--leeway",
             [this](std::string_view v) {
                 criteria_.setLeeway(parseLeeway(v));
                 return criteria_.leeway() != nullptr;
             }},
            {"--start-range",
             [this](std::string_view v) {
                 auto range = parseNumber<double>(v);
                 criteria_.setStartRange(range.value_or(0));
                 return range && *range >= 0 && *range <= 1;
             }},
            {"--suspend",
             [this](std::string_view v) {
                 return setSuspension(v);
             }},
        };
    }

    // Puts the gathered parts into the criteria; false with `error` filled when they do
    // not fit together.
    bool finish(std::string* error) {
        if (weekday_) {
            if (calendar_.empty()) {
                *error = "--weekday needs --calendar";
                return false;
            }
            for (auto& time : calendar_) {
                if (!time.weekday) {
                    time.weekday = weekday_;
                }
            }
        }
        if (!calendar_.empty()) {
            criteria_.setDateComponents(calendar_);
        }
        criteria_.setSuspendFromDateComponents(suspendFrom_);
        criteria_.setSuspendToDateComponents(suspendTo_);
        return true;
    }

    Flags flags;
    Valued valued;

private:
    static std::optional<long> parseWeekday(std::string_view text) {
        auto weekday = parseNumber<long>(text);
        return weekday && *weekday >= 1 && *weekday <= 7 ? weekday : std::nullopt;
    }

    // "HH:MM" or "W@HH:MM" (a weekday of its own, 1 = Sunday), separated by commas.
    bool addCalendarTimes(std::string_view text) {
        for (auto part : splitOn(text, ',')) {
            std::optional<long> weekday;
            if (const auto at = part.find('@'); at != std::string_view::npos) {
                weekday = parseWeekday(part.substr(0, at));
                if (!weekday) {
                    return false;
                }
                part.remove_prefix(at + 1);
            }
            auto time = parseClockTime(part);
            if (!time) {
                return false;
            }
            time->weekday = weekday;
            calendar_.push_back(*time);
        }
        return true;
    }

    // "HH:MM-HH:MM", or one end alone ("22:00-", "-06:00"), which the activity ignores.
    bool setSuspension(std::string_view text) {
        auto ends = splitOn(text, '-');
        if (ends.size() != 2 || (ends[0].empty() && ends[1].empty())) {
            return false;
        }
        suspendFrom_ = parseClockTime(ends[0]);
        suspendTo_ = parseClockTime(ends[1]);
        return (ends[0].empty() || suspendFrom_) && (ends[1].empty() || suspendTo_);
    }

    VRNActivityCriteria& criteria_;
    std::vector<cal::DateComponents> calendar_;
    std::optional<long> weekday_;
    std::optional<cal::DateComponents> suspendFrom_;
    std::optional<cal::DateComponents> suspendTo_;
};

// Runs the handlers of `flags` and `valued` over `args`; false with `error` filled at the
// first argument that is unknown, lacks its value or has a bad one.
template <class Table>
const typename Table::mapped_type* lookup(std::initializer_list<const Table*> tables,
                                          std::string_view name) {
    for (const Table* table : tables) {
        if (auto it = table->find(name); it != table->end()) {
            return &it->second;
        }
    }
    return nullptr;
}

bool readArguments(const std::vector<std::string_view>& args,
                   std::initializer_list<const Flags*> flags,
                   std::initializer_list<const Valued*> valued, std::string* error) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (const auto* flag = lookup(flags, arg)) {
            (*flag)();
            continue;
        }
        const auto* option = lookup(valued, arg);
        if (option == nullptr) {
            *error = "unknown option \"" + std::string(arg) + "\"";
            return false;
        }
        if (i + 1 == args.size()) {
            *error = std::string(arg) + " needs a value";
            return false;
        }
        const std::string_view value = args[++i];
        if (!(*option)(value)) {
            *error = "bad value for " + std::string(arg) + ": \"" + std::string(value) + "\"";
            return false;
        }
    }
    return true;
}

} // namespace

bool parseArguments(const std::vector<std::string_view>& args, Options* options,
                    std::string* error) {
    CriteriaOptions criteriaOptions(*options->criteria);
    auto date = [](std::optional<cal::Date>& field) {
        return [&field](std::string_view v) {
            field = parseUtcDate(v);
            return field.has_value();
        };
    };
    const Flags flags{
        {"--virtual",
         [&] {
             options->virtualClock = true;
         }},
        {"--echo",
         [&] {
             options->echo = true;
         }},
        {"--levels",
         [&] {
             options->levels = true;
         }},
    };
    const Valued valued{
        {"--identifier",
         [&](std::string_view v) {
             options->identifier = v;
             return !v.empty();
         }},
        {"--last-run", date(options->lastRun)},
        {"--last-try", date(options->lastTry)},
        {"--submitted", date(options->submitted)},
        {"--boot",
         [&](std::string_view v) {
             options->bootDateUnavailable = v == "unavailable";
             options->bootDate = parseUtcDate(v);
             return options->bootDateUnavailable || options->bootDate.has_value();
         }},
        {"--timezone",
         [&](std::string_view v) {
             options->timeZone = v;
             return cal::isKnownTimeZone(options->timeZone);
         }},
        {"--result",
         [&](std::string_view v) {
             auto result = parseResult(v);
             options->result = result.value_or(0);
             return result.has_value();
         }},
        {"--work-time",
         [&](std::string_view v) {
             auto duration = v == "0" ? dispatch::Duration::zero() : parseDuration(v);
             options->workTime = duration.value_or(dispatch::Duration::zero());
             return duration.has_value();
         }},
        {"--now", date(options->start)},
        {"--random",
         [&](std::string_view v) {
             options->fixedDraw = parseNumber<double>(v);
             return options->fixedDraw && *options->fixedDraw >= 0 && *options->fixedDraw < 1;
         }},
    };
    if (!readArguments(args, {&flags, &criteriaOptions.flags}, {&valued, &criteriaOptions.valued},
                       error) ||
        !criteriaOptions.finish(error)) {
        return false;
    }
    if (options->criteria->scheduleMode() == VRNActivityScheduleMode::None) {
        *error = "no schedule: give --interval, --calendar or --delay";
        return false;
    }
    if (options->start && !options->virtualClock) {
        *error = "--now needs --virtual";
        return false;
    }
    return true;
}

std::shared_ptr<VRNActivityCriteria> parseCriteria(const std::vector<std::string_view>& args,
                                                   std::string* error) {
    auto criteria = std::make_shared<VRNActivityCriteria>();
    CriteriaOptions criteriaOptions(*criteria);
    if (!readArguments(args, {&criteriaOptions.flags}, {&criteriaOptions.valued}, error) ||
        !criteriaOptions.finish(error)) {
        return nullptr;
    }
    return criteria;
}

std::string usageText() {
    return "usage: kbeactivity SCHEDULE [CONDITIONS] [HISTORY] [WORK] [--virtual [--now DATE]]\n"
           "                  [--timezone ZONE] [--echo] [--levels]\n"
           "  schedule:   --interval D | --calendar [W@]HH:MM[,[W@]HH:MM...] [--weekday W] |\n"
           "              --delay D (alone, or after each run)\n"
           "              --failure-delay D  --leeway none|infinite|D  --start-range 0..1\n"
           "              --suspend HH:MM-HH:MM (or one end: HH:MM-, -HH:MM)\n"
           "              --run-asap-if-missed\n"
           "  conditions: --allow-battery  --power-nap  --dont-run-when-passive\n"
           "              --dont-run-with-sleep-preventers  --dont-run-when-not-wired\n"
           "  history:    --last-run DATE  --last-try DATE  --submitted DATE\n"
           "              --boot DATE|unavailable (virtual: --now; real: the kernel's)\n"
           "  work:       --result finished|failed|deferred (finished)  --work-time D (1m)\n"
           "  other:      --identifier NAME (backup)  --random 0..1 (fixed spread draw)\n"
           "              --timezone ZONE (UTC): the calendar's zone, e.g. Europe/Berlin\n"
           "              --levels: each log line with its level (default, info, debug, error)\n"
           "  D is a count and a unit: 90s, 30m, 2h, 1d, 1w.  DATE is \"YYYY-MM-DD HH:MM\" "
           "(UTC).\n"
           "  W is a weekday, 1 (Sunday) to 7 (Saturday); --weekday applies to the calendar\n"
           "  times without one of their own.\n"
           "  KEELBROOK_ROOT must name an absolute folder; the tool runs on the simulated\n"
           "  machine below it. Commands are read on standard input (\"help\" lists them).\n";
}

std::optional<Command> parseCommand(std::string_view line, std::string* error) {
    const auto w = words(line);
    if (w.empty()) {
        *error = "empty command";
        return std::nullopt;
    }
    const std::string& verb = w[0];
    const std::size_t count = w.size() - 1;
    Command command;
    auto simple = [&](Command::Kind kind) -> std::optional<Command> {
        if (count != 0) {
            *error = verb + " takes no arguments";
            return std::nullopt;
        }
        command.kind = kind;
        return command;
    };
    if (verb == "info") {
        return simple(Command::Kind::Info);
    }
    if (verb == "sleep") {
        return simple(Command::Kind::Sleep);
    }
    if (verb == "wake") {
        return simple(Command::Kind::Wake);
    }
    if (verb == "darkwake") {
        return simple(Command::Kind::DarkWake);
    }
    if (verb == "now") {
        return simple(Command::Kind::Now);
    }
    if (verb == "help") {
        return simple(Command::Kind::Help);
    }
    if (verb == "quit") {
        return simple(Command::Kind::Quit);
    }
    if (verb == "set" && count == 2) {
        command.kind = Command::Kind::Set;
        command.words = {w[1], w[2]};
        return command;
    }
    if (verb == "advance" && count == 1) {
        auto duration = parseDuration(w[1]);
        if (!duration) {
            *error = "bad duration \"" + w[1] + "\" (e.g. 90s, 5m, 2h, 1d)";
            return std::nullopt;
        }
        command.kind = Command::Kind::Advance;
        command.duration = *duration;
        return command;
    }
    const bool add = count >= 2 && w[1] == "add";
    const bool remove = count >= 2 && w[1] == "remove";
    if (verb == "assert" && count == 2 && (add || remove)) {
        command.kind = add ? Command::Kind::AssertAdd : Command::Kind::AssertRemove;
        command.words = {w[2]};
        return command;
    }
    if (verb == "hold" && (count == 2 || count == 3) && (add || remove)) {
        command.kind = add ? Command::Kind::HoldAdd : Command::Kind::HoldRemove;
        command.words = {w[2]};
        if (count == 3) {
            command.pid = parseNumber<int>(w[3]);
            if (!command.pid || *command.pid <= 0) {
                *error = "bad process id \"" + w[3] + "\"";
                return std::nullopt;
            }
        }
        return command;
    }
    if (verb == "schedule") {
        return simple(Command::Kind::Schedule);
    }
    if (verb == "unschedule") {
        return simple(Command::Kind::Unschedule);
    }
    if (verb == "criteria") {
        command.kind = Command::Kind::Criteria;
        if (count == 1 && w[1] == "null") {
            return command;
        }
        command.criteria =
            parseCriteria(std::vector<std::string_view>(w.begin() + 1, w.end()), error);
        if (!command.criteria) {
            return std::nullopt;
        }
        return command;
    }
    if (verb == "timezone" && count == 1) {
        if (!cal::isKnownTimeZone(w[1])) {
            *error = "unknown time zone \"" + w[1] + "\"";
            return std::nullopt;
        }
        command.kind = Command::Kind::TimeZone;
        command.words = {w[1]};
        return command;
    }
    // "now" or a date, the rest of the line from word `first` on.
    auto dateFrom = [&](std::size_t first) {
        if (count == first && w[first] == "now") {
            return true;
        }
        std::string text;
        for (std::size_t i = first; i <= count; ++i) {
            text += (i == first ? "" : " ") + w[i];
        }
        command.date = parseUtcDate(text);
        if (!command.date) {
            *error = "bad date \"" + text + "\" (now, or \"YYYY-MM-DD HH:MM\" in UTC)";
        }
        return command.date.has_value();
    };
    if (verb == "submitted" && count >= 1) {
        command.kind = Command::Kind::Submitted;
        return dateFrom(1) ? std::optional(command) : std::nullopt;
    }
    if (verb == "record" && count >= 2) {
        auto result = parseResult(w[1]);
        if (!result) {
            *error = "bad result \"" + w[1] + "\" (finished, failed or deferred)";
            return std::nullopt;
        }
        command.kind = Command::Kind::Record;
        command.result = *result;
        return dateFrom(2) ? std::optional(command) : std::nullopt;
    }
    *error = "unknown command or wrong arguments: \"" + std::string(line) + "\" (try help)";
    return std::nullopt;
}

std::string commandsText() {
    return "info                       the activity's information\n"
           "set STATE VALUE            a state of the simulated machine (as kbesim set)\n"
           "sleep | wake | darkwake    announce sleep (prints the wake request) or a wake\n"
           "hold add|remove NAME [PID] another process's sleep hold (PID: this tool's parent)\n"
           "assert add|remove NAME     one of the activity's named holds\n"
           "criteria [OPTIONS]         new criteria (schedule and condition options; none\n"
           "                           gives criteria without a schedule)\n"
           "criteria null              no criteria at all (unschedules)\n"
           "schedule | unschedule      schedule the activity again, or unschedule it\n"
           "submitted now|DATE         record the schedule's submission date\n"
           "record RESULT now|DATE     a run made outside the activity (finished, failed)\n"
           "timezone ZONE              the system time zone changes to ZONE\n"
           "advance D                  move the virtual clock on (--virtual only)\n"
           "now                        the current time\n"
           "quit                       exit (so does the end of input)\n";
}

} // namespace kbeactivity

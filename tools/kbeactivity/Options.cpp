#include "tools/kbeactivity/Options.h"

#include "scheduler/activity/VRNActivity.h"
#include "scheduler/activity/VRNActivityLeeway.h"

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

bool parseArguments(const std::vector<std::string_view>& args, Options* options,
                    std::string* error) {
    VRNActivityCriteria& criteria = *options->criteria;
    std::vector<cal::DateComponents> calendar;
    std::optional<long> weekday;
    std::optional<cal::DateComponents> suspendFrom;
    std::optional<cal::DateComponents> suspendTo;

    // Options without a value.
    const std::map<std::string_view, std::function<void()>> flags{
        {"--allow-battery",
         [&] {
             criteria.setAllowBattery(true);
         }},
        {"--power-nap",
         [&] {
             criteria.setPowerNap(true);
         }},
        {"--run-asap-if-missed",
         [&] {
             criteria.setRunASAPIfMissed(true);
         }},
        {"--dont-run-when-passive",
         [&] {
             criteria.setDontRunWhenPassive(true);
         }},
        {"--dont-run-with-sleep-preventers",
         [&] {
             criteria.setDontRunWithSleepPreventers(true);
         }},
        {"--dont-run-when-not-wired",
         [&] {
             criteria.setDontRunWhenNotNetworkWired(true);
         }},
        {"--virtual",
         [&] {
             options->virtualClock = true;
         }},
        {"--echo",
         [&] {
             options->echo = true;
         }},
    };
    // Options with a value; each handler says whether the value was good.
    const std::map<std::string_view, std::function<bool(std::string_view)>> valued{
        {"--identifier",
         [&](std::string_view v) {
             options->identifier = v;
             return !v.empty();
         }},
        {"--interval",
         [&](std::string_view v) {
             criteria.setInterval(parseComponents(v));
             return criteria.interval().has_value();
         }},
        {"--delay",
         [&](std::string_view v) {
             criteria.setDelay(parseComponents(v));
             return criteria.delay().has_value();
         }},
        {"--failure-delay",
         [&](std::string_view v) {
             criteria.setFailureDelay(parseComponents(v));
             return criteria.failureDelay().has_value();
         }},
        {"--calendar",
         [&](std::string_view v) {
             for (auto part : splitOn(v, ',')) {
                 auto time = parseClockTime(part);
                 if (!time) {
                     return false;
                 }
                 calendar.push_back(*time);
             }
             return true;
         }},
        {"--weekday",
         [&](std::string_view v) {
             weekday = parseNumber<long>(v);
             return weekday && *weekday >= 1 && *weekday <= 7;
         }},
        {"--leeway",
         [&](std::string_view v) {
             criteria.setLeeway(parseLeeway(v));
             return criteria.leeway() != nullptr;
         }},
        {"--start-range",
         [&](std::string_view v) {
             auto range = parseNumber<double>(v);
             criteria.setStartRange(range.value_or(0));
             return range && *range >= 0 && *range <= 1;
         }},
        {"--suspend",
         [&](std::string_view v) {
             auto ends = splitOn(v, '-');
             if (ends.size() != 2) {
                 return false;
             }
             suspendFrom = parseClockTime(ends[0]);
             suspendTo = parseClockTime(ends[1]);
             return suspendFrom && suspendTo;
         }},
        {"--last-run",
         [&](std::string_view v) {
             options->lastRun = parseUtcDate(v);
             return options->lastRun.has_value();
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
        {"--now",
         [&](std::string_view v) {
             options->start = parseUtcDate(v);
             return options->start.has_value();
         }},
        {"--random",
         [&](std::string_view v) {
             options->fixedDraw = parseNumber<double>(v);
             return options->fixedDraw && *options->fixedDraw >= 0 && *options->fixedDraw < 1;
         }},
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (auto flag = flags.find(arg); flag != flags.end()) {
            flag->second();
            continue;
        }
        auto option = valued.find(arg);
        if (option == valued.end()) {
            *error = "unknown option \"" + std::string(arg) + "\"";
            return false;
        }
        if (i + 1 == args.size()) {
            *error = std::string(arg) + " needs a value";
            return false;
        }
        const std::string_view value = args[++i];
        if (!option->second(value)) {
            *error = "bad value for " + std::string(arg) + ": \"" + std::string(value) + "\"";
            return false;
        }
    }

    if (weekday) {
        if (calendar.empty()) {
            *error = "--weekday needs --calendar";
            return false;
        }
        for (auto& time : calendar) {
            time.weekday = weekday;
        }
    }
    if (!calendar.empty()) {
        criteria.setDateComponents(calendar);
    }
    criteria.setSuspendFromDateComponents(suspendFrom);
    criteria.setSuspendToDateComponents(suspendTo);
    if (criteria.scheduleMode() == VRNActivityScheduleMode::None) {
        *error = "no schedule: give --interval, --calendar or --delay";
        return false;
    }
    if (options->start && !options->virtualClock) {
        *error = "--now needs --virtual";
        return false;
    }
    return true;
}

std::string usageText() {
    return "usage: kbeactivity SCHEDULE [CONDITIONS] [WORK] [--virtual [--now DATE]] [--echo]\n"
           "  schedule:   --interval D | --calendar HH:MM[,HH:MM...] [--weekday 1-7] |\n"
           "              --delay D (alone, or after each run)\n"
           "              --failure-delay D  --leeway none|infinite|D  --start-range 0..1\n"
           "              --suspend HH:MM-HH:MM  --run-asap-if-missed  --last-run DATE\n"
           "  conditions: --allow-battery  --power-nap  --dont-run-when-passive\n"
           "              --dont-run-with-sleep-preventers  --dont-run-when-not-wired\n"
           "  work:       --result finished|failed|deferred (finished)  --work-time D (1m)\n"
           "  other:      --identifier NAME (backup)  --random 0..1 (fixed spread draw)\n"
           "  D is a count and a unit: 90s, 30m, 2h, 1d, 1w.  DATE is \"YYYY-MM-DD HH:MM\" "
           "(UTC).\n"
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
    *error = "unknown command or wrong arguments: \"" + std::string(line) + "\" (try help)";
    return std::nullopt;
}

std::string commandsText() {
    return "info                       the activity's information\n"
           "set STATE VALUE            a state of the simulated machine (as kbesim set)\n"
           "sleep | wake | darkwake    announce sleep (prints the wake request) or a wake\n"
           "hold add|remove NAME [PID] another process's sleep hold (PID: this tool's parent)\n"
           "assert add|remove NAME     one of the activity's named holds\n"
           "advance D                  move the virtual clock on (--virtual only)\n"
           "now                        the current time\n"
           "quit                       exit (so does the end of input)\n";
}

} // namespace kbeactivity

#include "ctl/KBECtlCommands.h"

#include "common/KBEHelperMessages.h"
#include "common/VRNMessagerErrors.h"
#include "common/VRNProductVersion.h"
#include "common/VRNUpdaterErrors.h"
#include "ctl/KBECtlOutput.h"
#include "platform/files/Files.h"
#include "platform/plist/Plist.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

namespace {

using namespace std::string_view_literals;

// The argument at `index`, or none.
std::optional<std::string_view> argument(int argc, char** argv, int index) {
    return index < argc ? std::optional<std::string_view>(argv[index]) : std::nullopt;
}

void printYesNo(KBECtl& ctl, const plist::Dictionary& reply) {
    const auto it = reply.find("Enabled");
    const bool enabled = it != reply.end() && it->second.asBoolean().value_or(false);
    ctl.print(enabled ? "yes\n" : "no\n");
}

void printText(KBECtl& ctl, const plist::Dictionary& reply, const char* key) {
    const auto it = reply.find(key);
    const std::string* text = it == reply.end() ? nullptr : it->second.asString();
    ctl.print((text ? *text : std::string()) + "\n");
}

plist::Dictionary enabledPayload(bool enabled) {
    return {{"Enabled", plist::Value(enabled)}};
}

// A getter of an "Enabled" flag, or its setter when a value follows.
int enabledFlag(KBECtl& ctl, std::optional<std::string_view> value, long getter, long setter) {
    if (!value) {
        auto reply = ctl.send(getter);
        if (!reply) {
            return 1;
        }
        printYesNo(ctl, *reply);
        return 0;
    }
    return ctl.send(setter, plist::Value(enabledPayload(KBECtlBoolValue(*value)))) ? 0 : 1;
}

// A getter of a text, or its setter (after `accepted` approves the value).
template <class Accepted>
int textSetting(KBECtl& ctl, std::optional<std::string_view> value, long getter, long setter,
                const char* key, Accepted accepted) {
    if (!value) {
        auto reply = ctl.send(getter);
        if (!reply) {
            return 1;
        }
        printText(ctl, *reply, key);
        return 0;
    }
    if (!accepted(*value)) {
        return 1;
    }
    plist::Dictionary payload{{key, plist::Value(std::string(*value))}};
    return ctl.send(setter, plist::Value(std::move(payload))) ? 0 : 1;
}

int version_cmd(KBECtl& ctl, int, char**) {
    std::fprintf(ctl.out, "%s (%lld)\n", VRNProductShortVersion().c_str(),
                 static_cast<long long>(VRNProductBuildNumber()));
    return 0;
}

bool settingIsTrue(const plist::Dictionary& settings, const char* key) {
    const auto it = settings.find(key);
    return it != settings.end() && it->second.asBoolean().value_or(false);
}

int status_cmd(KBECtl& ctl, int argc, char** argv) {
    if (auto settings = ctl.send(KBEHelperMessageGetSettings)) {
        const auto state = [](bool enabled) {
            return plist::Value(enabled ? "enabled" : "disabled");
        };
        plist::Dictionary status{
            {"MasterSwitch", state(!settingIsTrue(*settings, "Disabled"))},
            {"Backups", state(settingIsTrue(*settings, "Backups"))},
            {"Snapshots", state(settingIsTrue(*settings, "Snapshots"))},
        };
        KBECtlPrintDictionary(ctl.out, status, argument(argc, argv, 1).value_or(""sv));
    }
    return 0;
}

const plist::Dictionary* activityIn(const plist::Dictionary& reply, const char* key) {
    const auto it = reply.find(key);
    return it == reply.end() ? nullptr : it->second.asDictionary();
}

int info_cmd(KBECtl& ctl, int, char**) {
    auto reply = ctl.send(KBEHelperMessageGetActivityInformation);
    if (!reply) {
        return 1;
    }
    ctl.print("> Backups\n");
    KBECtlPrintInfo(ctl.out, activityIn(*reply, "backups"));
    ctl.print("\n> Snapshots\n");
    KBECtlPrintInfo(ctl.out, activityIn(*reply, "snapshots"));
    ctl.print("\n> Updater\n");
    KBECtlPrintInfo(ctl.out, activityIn(*reply, "updates"));
    return 0;
}

// "~" expanded, "." and ".." segments removed.
std::string standardizedPath(std::string_view path) {
    std::string expanded(path);
    if (!expanded.empty() && expanded[0] == '~' && (expanded.size() == 1 || expanded[1] == '/')) {
        const char* home = std::getenv("HOME");
        expanded = std::string(home ? home : "") + expanded.substr(1);
    }
    const bool absolute = !expanded.empty() && expanded[0] == '/';
    std::vector<std::string> segments;
    std::size_t start = 0;
    while (start <= expanded.size()) {
        std::size_t end = expanded.find('/', start);
        if (end == std::string::npos) {
            end = expanded.size();
        }
        const std::string segment = expanded.substr(start, end - start);
        if (segment == "..") {
            if (!segments.empty() && segments.back() != "..") {
                segments.pop_back();
            } else if (!absolute) {
                segments.push_back(segment);
            }
        } else if (!segment.empty() && segment != ".") {
            segments.push_back(segment);
        }
        start = end + 1;
    }
    std::string result = absolute ? "/" : "";
    for (std::size_t i = 0; i < segments.size(); ++i) {
        result += (i ? "/" : "") + segments[i];
    }
    return result.empty() ? "." : result;
}

int settings_import_cmd(KBECtl& ctl, int argc, char** argv) {
    const auto given = argument(argc, argv, 1);
    if (!given) {
        ctl.print("Path must be specified to settings file.\n");
        return 1;
    }
    const std::string path = standardizedPath(*given);
    files::Error error;
    auto bytes = files::readFile(path, plist::kSettingsSizeLimit, files::Symlinks::Follow, &error);
    if (!bytes && error.number == ENOENT) {
        std::fprintf(ctl.out, "File does not exist at path: %s\n", path.c_str());
        return 1;
    }
    if (!bytes) {
        std::fprintf(ctl.out, "Failed to read file: %s\n", error.text.c_str());
        return 1;
    }
    std::string reason;
    auto settings = plist::read(*bytes, plist::kSettingsSizeLimit, &reason);
    if (!settings) {
        std::fprintf(ctl.out, "Failed to deserialize file: %s\n", reason.c_str());
        return 1;
    }
    return ctl.send(KBEHelperMessageInstallSettings, *settings) ? 0 : 1;
}

int settings_cmd(KBECtl& ctl, int argc, char** argv) {
    if (argument(argc, argv, 1) == "import"sv) {
        return settings_import_cmd(ctl, argc - 1, argv + 1);
    }
    if (auto settings = ctl.send(KBEHelperMessageGetSettings)) {
        KBECtlPrintDictionary(ctl.out, *settings, argument(argc, argv, 1).value_or(""sv));
    }
    return 0;
}

int enabled_cmd(KBECtl& ctl, int argc, char** argv) {
    auto settings = ctl.send(KBEHelperMessageGetSettings);
    if (!settings) {
        return 1;
    }
    const auto value = argument(argc, argv, 1);
    if (!value) {
        ctl.print(settingIsTrue(*settings, "Disabled") ? "no\n" : "yes\n");
        return 0;
    }
    settings->insert_or_assign("Disabled", plist::Value(KBECtlBoolValue(*value) ? 0 : 1));
    return ctl.send(KBEHelperMessageInstallSettings, plist::Value(std::move(*settings))) ? 0 : 1;
}

int backups_interval_cmd(KBECtl& ctl, int argc, char** argv) {
    const auto value = argument(argc, argv, 1);
    if (!value) {
        auto reply = ctl.send(KBEHelperMessageGetBackupsInterval);
        if (!reply) {
            return 1;
        }
        ctl.print(plist::description(plist::Value(*reply)) + "\n");
        return 0;
    }
    // The leading digits are the count (saturating), the character after them the unit.
    std::int64_t count = 0;
    std::size_t i = 0;
    for (; i < value->size() && (*value)[i] >= '0' && (*value)[i] <= '9'; ++i) {
        const int digit = (*value)[i] - '0';
        count = count > (std::numeric_limits<std::int64_t>::max() - digit) / 10
                    ? std::numeric_limits<std::int64_t>::max()
                    : count * 10 + digit;
    }
    if (count == 0) {
        ctl.print("Interval value must be equal or greater than one.\n");
        return 1;
    }
    const char unit = i < value->size() ? (*value)[i] : '\0';
    const char* key = unit == 'd'   ? "Days"
                      : unit == 'h' ? "Hours"
                      : unit == 'w' ? "Weeks"
                                    : "Minutes";
    plist::Dictionary payload{{key, plist::Value(count)}};
    return ctl.send(KBEHelperMessageSetBackupsInterval, plist::Value(std::move(payload))) ? 0 : 1;
}

int set_when_inactive_cmd(KBECtl& ctl, int, char**) {
    return ctl.send(KBEHelperMessageSetBackupsWhenInactive) ? 0 : 1;
}

int backups_cmd(KBECtl& ctl, int argc, char** argv) {
    const auto sub = argument(argc, argv, 1);
    const auto value = argument(argc, argv, 2);
    if (sub == "enabled"sv) {
        return enabledFlag(ctl, value, KBEHelperMessageGetBackupsEnabled,
                           KBEHelperMessageSetBackupsEnabled);
    }
    if (sub == "mode"sv) {
        return textSetting(ctl, value, KBEHelperMessageGetBackupsMode,
                           KBEHelperMessageSetBackupsMode, "Mode", [&](std::string_view mode) {
                               if (mode == "WhenInactive" || mode == "Interval" ||
                                   mode == "CalendarIntervals") {
                                   return true;
                               }
                               ctl.print("Mode must be either \"WhenInactive\", \"Interval\" or "
                                         "\"CalendarIntervals\".\n");
                               return false;
                           });
    }
    if (sub == "interval"sv) {
        return backups_interval_cmd(ctl, argc - 1, argv + 1);
    }
    if (sub == "when-inactive"sv) {
        if (!value) {
            return enabledFlag(ctl, value, KBEHelperMessageGetBackupsWhenInactive, 0);
        }
        if (!KBECtlBoolValue(*value)) {
            ctl.print("Only accepted value is 'yes'\n");
            return 1;
        }
        return set_when_inactive_cmd(ctl, argc, argv);
    }
    if (sub == "kickstart"sv) {
        return ctl.send(KBEHelperMessageBackUpNow) ? 0 : 1;
    }
    KBECtlPrintUsage(ctl, false);
    return 1;
}

int snapshots_cmd(KBECtl& ctl, int argc, char** argv) {
    if (argument(argc, argv, 1) == "enabled"sv) {
        return enabledFlag(ctl, argument(argc, argv, 2), KBEHelperMessageGetSnapshotsEnabled,
                           KBEHelperMessageSetSnapshotsEnabled);
    }
    KBECtlPrintUsage(ctl, false);
    return 1;
}

// "std", "beta" or "test"; otherwise the refusal "Unknown <what>: '<value>'.".
auto channelName(KBECtl& ctl, const char* what) {
    return [&ctl, what](std::string_view value) {
        if (value == "std" || value == "beta" || value == "test") {
            return true;
        }
        std::fprintf(ctl.out, "Unknown %s: '%.*s'.\n", what, static_cast<int>(value.size()),
                     value.data());
        return false;
    };
}

int updates_check(KBECtl& ctl, bool install) {
    std::optional<VRNError> error;
    auto reply = ctl.send(KBEHelperMessageCheckForUpdate, std::nullopt, &error);
    if (!reply) {
        return error && error->domain() == VRNUpdaterErrorDomain && error->code() == 0 ? 0 : 1;
    }
    const auto version = reply->find("Version");
    const auto human = reply->find("HumanVersion");
    const std::string humanVersion =
        human != reply->end() && human->second.asString() ? *human->second.asString() : "";
    const long long build = version != reply->end() ? version->second.asInteger().value_or(0) : 0;
    if (install) {
        std::fprintf(ctl.out, "Keelbrook %s (%lld) is available. Updating now...\n",
                     humanVersion.c_str(), build);
    } else {
        std::fprintf(ctl.out,
                     "Keelbrook %s (%lld) is available. Would you like to update now? (y/n)\n",
                     humanVersion.c_str(), build);
        std::fflush(ctl.out);
        for (;;) {
            char line[16];
            if (std::fgets(line, sizeof line, ctl.in) == nullptr) {
                return 1;
            }
            if (line[0] == '\n') {
                continue;
            }
            if (!KBECtlBoolValue(line)) {
                return 0;
            }
            break;
        }
    }
    std::optional<VRNError> installError;
    const bool replied =
        ctl.sendQuietly(KBEHelperMessageInstallUpdate, std::nullopt, &installError).has_value();
    // The installation replaces the daemon while the request is outstanding.
    const bool daemonReplaced = installError && installError->domain() == VRNMessagerErrorDomain &&
                                (installError->code() == VRNMessagerErrorServiceUnavailable ||
                                 installError->code() == VRNMessagerErrorServiceDisappeared);
    if (replied || daemonReplaced) {
        ctl.print("Keelbrook has been updated.\n");
        return 0;
    }
    if (installError) {
        std::fprintf(ctl.err, "%s\n",
                     VRNError::localizedDescriptionForError(*installError).c_str());
    }
    return 1;
}

int updates_cmd(KBECtl& ctl, int argc, char** argv) {
    const auto sub = argument(argc, argv, 1);
    const auto value = argument(argc, argv, 2);
    if (sub == "enabled"sv) {
        return enabledFlag(ctl, value, KBEHelperMessageGetUpdatesEnabled,
                           KBEHelperMessageSetUpdatesEnabled);
    }
    if (sub == "mode"sv || sub == "set-mode"sv) {
        return textSetting(ctl, value, KBEHelperMessageGetUpdatesMode,
                           KBEHelperMessageSetUpdatesMode, "Mode", channelName(ctl, "mode"));
    }
    if (sub == "feed"sv || sub == "set-feed"sv) {
        return textSetting(ctl, value, KBEHelperMessageGetUpdatesFeed,
                           KBEHelperMessageSetUpdatesFeed, "Feed", channelName(ctl, "feed"));
    }
    if (sub == "enable"sv || sub == "disable"sv) {
        return ctl.send(KBEHelperMessageSetUpdatesEnabled,
                        plist::Value(enabledPayload(sub == "enable"sv)))
                   ? 0
                   : 1;
    }
    if (sub == "check"sv) {
        return updates_check(ctl, value == "-i"sv);
    }
    KBECtlPrintUsage(ctl, false);
    return 1;
}

int dry_run_cmd(KBECtl& ctl, int argc, char** argv) {
    return enabledFlag(ctl, argument(argc, argv, 1), KBEHelperMessageGetDryRun,
                       KBEHelperMessageSetDryRun);
}

// enable/disable: the scheduler as a whole, or the features named.
int switchFeatures(KBECtl& ctl, int argc, char** argv, bool enable) {
    if (argc < 2) {
        return ctl.send(enable ? KBEHelperMessageEnableScheduler : KBEHelperMessageDisableScheduler)
                   ? 0
                   : 1;
    }
    bool backups = false, snapshots = false, updates = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (word == "backups") {
            backups = true;
        } else if (word == "snapshots") {
            snapshots = true;
        } else if (word == "updates") {
            updates = true;
        } else {
            std::fprintf(ctl.out, "Unknown option: '%s'.\n", argv[i]);
            return 1;
        }
    }
    if (backups || snapshots) {
        auto settings = ctl.send(KBEHelperMessageGetSettings);
        if (!settings) {
            return 1;
        }
        if (backups) {
            settings->insert_or_assign("Backups", plist::Value(enable));
        }
        if (snapshots) {
            settings->insert_or_assign("Snapshots", plist::Value(enable));
        }
        if (!ctl.send(KBEHelperMessageInstallSettings, plist::Value(std::move(*settings)))) {
            return 1;
        }
    }
    if (updates) {
        return ctl.send(KBEHelperMessageSetUpdatesEnabled, plist::Value(enabledPayload(enable)))
                   ? 0
                   : 1;
    }
    return 0;
}

int enable_cmd(KBECtl& ctl, int argc, char** argv) {
    return switchFeatures(ctl, argc, argv, true);
}

int disable_cmd(KBECtl& ctl, int argc, char** argv) {
    return switchFeatures(ctl, argc, argv, false);
}

constexpr bool R = true; // requires root
constexpr bool C = true; // root needed to make changes
constexpr bool H = true; // hidden
constexpr bool _ = false;

constexpr KBECtlCommand kCommands[] = {
    {"version", nullptr, "Print version.", version_cmd, _, _, _},
    {nullptr, nullptr, nullptr, nullptr, _, _, _},
    {"status", "[-x|-j]", "Print scheduler status (-x for xml, -j for json).", status_cmd, _, _, _},
    {"info", nullptr, "Print activities information.", info_cmd, _, _, _},
    {nullptr, nullptr, nullptr, nullptr, _, _, _},
    {"settings", "[-x|-j]", "Print scheduler settings (-x for xml, -j for json).", settings_cmd, _,
     _, _},
    {"settings", "import <path>", "Import settings from the specified plist file.", settings_cmd, R,
     _, _},
    {nullptr, nullptr, nullptr, nullptr, _, _, _},
    {"enabled", nullptr, "Get/set master switch.", enabled_cmd, _, C, _},
    {nullptr, nullptr, nullptr, nullptr, _, _, _},
    {"backups", "enabled [yes|no]", "Get/set backups enabled state.", backups_cmd, _, C, _},
    {"backups", "mode [...]", "Get/set backups mode.", backups_cmd, _, C, _},
    {"backups", "interval [<int>[h|d|w]]", "Get/set the backups interval.", backups_cmd, _, C, _},
    {"backups", "kickstart", "Force start a backup now.", backups_cmd, _, _, _},
    {nullptr, nullptr, nullptr, nullptr, _, _, _},
    {"snapshots", "enabled [yes|no]", "Get/set snapshots enabled state.", snapshots_cmd, _, C, _},
    {nullptr, nullptr, nullptr, nullptr, _, _, _},
    {"updates", "enabled [yes|no]", "Get/set updates enabled state.", updates_cmd, _, C, _},
    {"updates", "mode [std|beta|test]", "Get/set updates mode.", updates_cmd, _, C, H},
    {"updates", "feed [std|beta|test]", "Get/set updates feed.", updates_cmd, _, C, H},
    {"updates", "check [-i]", "Check for updates (-i to install).", updates_cmd, _, C, _},
    {nullptr, nullptr, nullptr, nullptr, _, _, _},
    {"uninstall", nullptr, "Uninstall Keelbrook.", KBECtlUninstallCommand, R, _, _},
    {nullptr, nullptr, nullptr, nullptr, _, _, H},
    {"log", "[--last <int>[m|h|d]]", "Print log.", KBECtlLogCommand, R, _, H},
    {nullptr, nullptr, nullptr, nullptr, _, _, H},
    {"debug-logs", "[yes|no]", "Get/set debug logs.", KBECtlDebugLogsCommand, _, C, H},
    {"dry-run", "[yes|no]", "Get/set dry run.", dry_run_cmd, _, C, H},
    {"_update", nullptr, "_update", KBECtlUpdateCommand, R, _, H},
    {"_uninstall", nullptr, "_uninstall", KBECtlDetachedUninstallCommand, R, _, H},
    {nullptr, nullptr, nullptr, nullptr, _, _, H},
    {"enable", "[features]", "Enable features (backups, snapshots, updates).", enable_cmd, R, _, H},
    {"disable", "[features]", "Disable features (backups, snapshots, updates).", disable_cmd, R, _,
     H},
    {"set-settings", "<path>", "Apply settings from the specified plist file.", settings_import_cmd,
     R, _, H},
    {"set-interval", "<integer[m|h|d|w]>", "Trigger backups using the specified interval.",
     backups_interval_cmd, R, _, H},
    {"set-when-inactive", nullptr, "Trigger backups during user inactivity.", set_when_inactive_cmd,
     R, _, H},
    {"backups", "when-inactive [yes]", "Get/set the backups behavior.", backups_cmd, _, C, H},
};
static_assert(std::size(kCommands) == 37);

int dispatchCommand(KBECtl& ctl, int argc, char** argv) {
    if (argc < 2) {
        KBECtlPrintUsage(ctl, false);
        return 1;
    }
    if (argc == 2 && argv[1] == "-d"sv) {
        KBECtlPrintUsage(ctl, true);
        return 1;
    }
    if (ctl.disallowInteraction) {
        ctl.disallowInteraction();
    }
    for (const KBECtlCommand& command : kCommands) {
        if (command.name == nullptr || argv[1] != std::string_view(command.name)) {
            continue;
        }
        if (command.requiresRoot && ctl.realUser != 0) {
            ctl.print("This command requires root privileges.\n");
            return 1;
        }
        return command.handler(ctl, argc - 1, argv + 1);
    }
    KBECtlPrintUsage(ctl, false);
    return 1;
}

} // namespace

std::span<const KBECtlCommand> KBECtlCommands() {
    return kCommands;
}

void KBECtlPrintUsage(KBECtl& ctl, bool full) {
    for (std::size_t row = 0; row < std::size(kCommands); ++row) {
        const KBECtlCommand& command = kCommands[row];
        if (command.hidden && !full) {
            continue;
        }
        if (command.name == nullptr) {
            ctl.print("\n");
            continue;
        }
        if (command.name[0] == '_') {
            continue;
        }
        const char* prefix = row == 0 ? "usage:" : "      ";
        std::string left = std::string(prefix) + " " + ctl.programName + " " + command.name;
        if (command.arguments) {
            left += std::string(" ") + command.arguments;
        }
        const char* note = command.requiresRoot   ? "Must be run as root."
                           : command.rootToChange ? "Must be run as root to make changes."
                                                  : "";
        std::fprintf(ctl.out, "%-50s %-55s %s\n", left.c_str(), command.description, note);
    }
}

int KBECtlRun(KBECtl& ctl, int argc, char** argv) {
    int status;
    try {
        status = dispatchCommand(ctl, argc, argv);
    } catch (const KBECtlExit& request) {
        status = request.status;
    }
    std::fflush(ctl.out);
    std::fflush(ctl.err);
    return status;
}

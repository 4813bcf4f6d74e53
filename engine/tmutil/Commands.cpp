#include "engine/tmutil/Commands.h"

#include "engine/core/Child.h"
#include "engine/core/Credentials.h"
#include "engine/core/EngineFiles.h"
#include "engine/core/Preferences.h"
#include "engine/core/Restic.h"
#include "engine/core/RunState.h"
#include "engine/tmutil/Verbs.h"
#include "platform/files/Files.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace tmutil {

namespace {

constexpr const char* kUsage =
    "usage: tmutil setdestination [-p] [-c FILE|-] <folder or restic repository URL>\n"
    "       tmutil destinationinfo\n"
    "       tmutil addsource|removesource <path> | sources\n"
    "       tmutil addexclusion|removeexclusion|isexcluded <path>\n"
    "       tmutil startbackup [--auto] [--rotation] [--block] | stopbackup | status\n"
    "       tmutil enable | disable | enablelocal | disablelocal\n"
    "       tmutil snapshot | listlocalsnapshots <mount point> | deletelocalsnapshots <date>\n"
    "       tmutil listbackups | latestbackup\n";

constexpr const char* kEngineTimer = "keelbrook-engine.timer";

// An absolute path without trailing slashes, "." or ".." components and doubled slashes.
std::optional<std::string> normalPath(std::string_view given) {
    if (!given.starts_with("/")) {
        return std::nullopt;
    }
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= given.size()) {
        const std::size_t end = std::min(given.find('/', start), given.size());
        const std::string_view part = given.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            parts.emplace_back(part);
        }
        start = end + 1;
    }
    std::string path;
    for (const std::string& part : parts) {
        path += "/" + part;
    }
    return path.empty() ? "/" : path;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::string randomPassword() {
    unsigned char bytes[32];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        }
    }
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0xf];
    }
    return text;
}

std::string newDestinationID() {
    const std::string hex = randomPassword();
    std::string id;
    for (std::size_t i = 0; i < 32; ++i) {
        if (i == 8 || i == 12 || i == 16 || i == 20) {
            id += '-';
        }
        id += static_cast<char>(std::toupper(static_cast<unsigned char>(hex[i])));
    }
    return id;
}

// The included folder that holds `folder`, if any.
std::optional<std::string> includingFolder(const std::string& folder,
                                           const std::vector<std::string>& included) {
    for (const std::string& candidate : included) {
        if (engine::isInside(folder, candidate)) {
            return candidate;
        }
    }
    return std::nullopt;
}

// Whether the URL's authority carries "user:password@": such a secret would be kept in
// the preferences (0644) and shown on restic's command line.
bool holdsPassword(std::string_view url) {
    const std::size_t scheme = url.find("://");
    if (scheme == std::string_view::npos) {
        return false;
    }
    const std::string_view rest = url.substr(scheme + 3);
    const std::string_view authority = rest.substr(0, rest.find('/'));
    const std::size_t at = authority.rfind('@');
    return at != std::string_view::npos &&
           authority.substr(0, at).find(':') != std::string_view::npos;
}

// The text of `source`: a file, or standard input for "-".
std::optional<std::string> readSource(std::string_view source, std::string* error) {
    if (source == "-") {
        std::string text;
        char chunk[4096];
        while (std::cin.read(chunk, sizeof chunk) || std::cin.gcount() > 0) {
            text.append(chunk, static_cast<std::size_t>(std::cin.gcount()));
            if (text.size() > engine::kMaxCredentialsSize) {
                *error = "standard input is too large";
                return std::nullopt;
            }
        }
        return text;
    }
    files::Error failure;
    const auto bytes = files::readFile(std::string(source), engine::kMaxCredentialsSize,
                                       files::Symlinks::Follow, &failure);
    if (!bytes) {
        *error = failure.text;
        return std::nullopt;
    }
    return std::string(bytes->begin(), bytes->end());
}

// A secret written beside its place and moved there once the repository has accepted it;
// removed when it is not.
class Candidate {
public:
    explicit Candidate(std::string target) : target_(std::move(target)), path_(target_ + ".new") {}
    ~Candidate() { ::unlink(path_.c_str()); }
    Candidate(const Candidate&) = delete;
    Candidate& operator=(const Candidate&) = delete;

    const std::string& path() const { return path_; }
    bool write(const std::string& text, std::string* error) {
        return engine::writeFile(
            path_, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), 0600,
            error);
    }
    bool commit(std::string* error) {
        if (::rename(path_.c_str(), target_.c_str()) != 0) {
            *error = std::strerror(errno);
            return false;
        }
        return true;
    }

private:
    std::string target_;
    std::string path_;
};

std::string joinedLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

int setDestination(const Arguments& args) {
    bool askPassword = false;
    std::optional<std::string_view> credentialsSource;
    std::optional<std::string_view> given;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "-p") {
            askPassword = true;
        } else if (arg == "-c" && i + 1 < args.size() && !credentialsSource) {
            credentialsSource = args[++i];
        } else if (!given && !arg.starts_with("-")) {
            given = arg;
        } else {
            return usage();
        }
    }
    if (!given) {
        return usage();
    }
    if (askPassword && credentialsSource == "-") {
        return fail("-p and -c - cannot both read standard input");
    }
    engine::Preferences preferences;
    std::string destination(*given);
    if (given->starts_with("/") || given->starts_with("local:")) {
        std::string folder;
        engine::isLocalRepository(destination, &folder);
        const std::optional<std::string> normal = normalPath(folder);
        if (!normal) {
            return fail("the destination must be an absolute path or a restic repository URL");
        }
        destination = *normal;
        if (const auto holder = includingFolder(destination, preferences.includedFolders())) {
            return fail("the destination " + destination + " is inside the included folder " +
                        *holder + "; choose one outside the backed-up folders");
        }
    } else if (given->find(':') == std::string_view::npos) {
        return fail("the destination must be an absolute path or a restic repository URL");
    } else if (holdsPassword(*given)) {
        return fail("the repository URL holds a password; give the URL without it and the "
                    "user name and password with -c (e.g. RESTIC_REST_USERNAME and "
                    "RESTIC_REST_PASSWORD)");
    }

    // The credentials the repository is opened with: those given, else the stored ones
    // while the destination stays the same, else none (a new destination drops old ones).
    std::string problem;
    std::vector<std::string> credentials;
    if (credentialsSource) {
        const std::optional<std::string> text = readSource(*credentialsSource, &problem);
        if (!text) {
            return fail("cannot read the credentials: " + problem);
        }
        const auto parsed = engine::parseCredentials(*text, &problem);
        if (!parsed) {
            return fail("the credentials are refused: " + problem);
        }
        credentials = *parsed;
    } else if (preferences.repository() == destination) {
        credentials = engine::readCredentials(engine::credentialsFile());
    }

    std::string password;
    if (askPassword) {
        if (!std::getline(std::cin, password) || password.empty()) {
            return fail("no password was given on standard input");
        }
    } else {
        password = randomPassword();
    }
    Candidate newPassword(engine::passwordFile());
    if (!newPassword.write(password + "\n", &problem)) {
        return fail("cannot store the repository password: " + problem);
    }
    Candidate newCredentials(engine::credentialsFile());
    if (!credentials.empty() && !newCredentials.write(joinedLines(credentials), &problem)) {
        return fail("cannot store the repository credentials: " + problem);
    }
    // An existing repository must open with the password; a new one is initialised.
    engine::Command probe =
        engine::resticCommand(destination, {"cat", "config"}, newPassword.path());
    probe.environment = credentials;
    const engine::RunResult opened = engine::runToEnd(probe);
    if (!opened.started) {
        return fail(opened.failure);
    }
    bool created = false;
    if (opened.status != 0) {
        if (opened.errors.find("wrong password") != std::string::npos) {
            return fail("the password does not open the repository at " + destination);
        }
        engine::Command init = engine::resticCommand(destination, {"init"}, newPassword.path());
        init.environment = credentials;
        const engine::RunResult initialised = engine::runToEnd(init);
        if (initialised.status != 0) {
            return fail("cannot create a repository at " + destination + ": " +
                        engine::lastLine(initialised.errors));
        }
        created = true;
    }
    if (!newPassword.commit(&problem)) {
        return fail("cannot store the repository password: " + problem);
    }
    if (credentials.empty()) {
        if (::unlink(engine::credentialsFile().c_str()) != 0 && errno != ENOENT) {
            return fail("cannot remove the old repository credentials: " +
                        std::string(std::strerror(errno)));
        }
    } else if (!newCredentials.commit(&problem)) {
        return fail("cannot store the repository credentials: " + problem);
    }
    if (!preferences.setDestination(destination, newDestinationID(), &problem)) {
        return fail("cannot save the destination: " + problem);
    }
    if (created) {
        std::printf("Created a new repository at %s.\n", destination.c_str());
    }
    return 0;
}

int destinationInfo(const Arguments& args) {
    if (!args.empty()) {
        return usage();
    }
    engine::Preferences preferences;
    const std::optional<std::string> repository = preferences.repository();
    const std::optional<std::string> id = preferences.lastDestinationID();
    if (!repository || !id) {
        return fail("no destination is set");
    }
    std::string folder;
    const bool local = engine::isLocalRepository(*repository, &folder);
    std::printf("====================================================\n");
    std::printf("Name          : %s\n", repository->c_str());
    std::printf("Kind          : %s\n", local ? "Local" : "Network");
    std::printf("URL           : %s\n", repository->c_str());
    if (local) {
        std::printf("Mount Point   : %s\n", folder.c_str());
    }
    std::printf("ID            : %s\n", id->c_str());
    return 0;
}

// The path argument of a verb that takes exactly one.
std::optional<std::string_view> onlyArgument(const Arguments& args) {
    if (args.size() != 1 || args[0].empty()) {
        return std::nullopt;
    }
    return args[0];
}

// One of the preferences' path lists, as the add and remove verbs edit it.
struct PathList {
    std::vector<std::string> (engine::Preferences::*read)();
    bool (engine::Preferences::*write)(const std::vector<std::string>&, std::string*);
    const char* name;
    const char* notListed;
};

constexpr PathList kIncludedFolders{&engine::Preferences::includedFolders,
                                    &engine::Preferences::setIncludedFolders,
                                    "the included folders", " is not an included folder"};
constexpr PathList kExclusions{&engine::Preferences::exclusions,
                               &engine::Preferences::setExclusions, "the exclusions",
                               " is not excluded"};

int saveList(const PathList& list, engine::Preferences& preferences,
             const std::vector<std::string>& entries) {
    std::string problem;
    if (!(preferences.*list.write)(entries, &problem)) {
        return fail(std::string("cannot save ") + list.name + ": " + problem);
    }
    return 0;
}

// Adds `entry` to the list; an entry listed already is success. `refusal`, asked only when
// the entry is new, gives the reason it may not be added, if any.
int addToList(const PathList& list, const std::string& entry,
              const std::function<std::optional<std::string>(engine::Preferences&)>& refusal) {
    engine::Preferences preferences;
    std::vector<std::string> entries = (preferences.*list.read)();
    if (std::find(entries.begin(), entries.end(), entry) != entries.end()) {
        return 0;
    }
    if (const std::optional<std::string> refused = refusal(preferences)) {
        return fail(*refused);
    }
    entries.push_back(entry);
    return saveList(list, preferences, entries);
}

int removeFromList(const PathList& list, const std::string& entry) {
    engine::Preferences preferences;
    std::vector<std::string> entries = (preferences.*list.read)();
    const auto found = std::find(entries.begin(), entries.end(), entry);
    if (found == entries.end()) {
        return fail(entry + list.notListed);
    }
    entries.erase(found);
    return saveList(list, preferences, entries);
}

int addSource(const Arguments& args) {
    const auto given = onlyArgument(args);
    if (!given) {
        return usage();
    }
    const std::optional<std::string> path = normalPath(*given);
    if (!path) {
        return fail("the folder must be given as an absolute path");
    }
    if (!exists(*path)) {
        return fail(*path + " does not exist");
    }
    return addToList(kIncludedFolders, *path,
                     [&](engine::Preferences& preferences) -> std::optional<std::string> {
                         std::string folder;
                         const auto repository = preferences.repository();
                         if (repository && engine::isLocalRepository(*repository, &folder) &&
                             engine::isInside(folder, *path)) {
                             return "the destination " + folder + " is inside " + *path +
                                    "; it cannot be backed up into itself";
                         }
                         return std::nullopt;
                     });
}

int removeSource(const Arguments& args) {
    const auto given = onlyArgument(args);
    if (!given) {
        return usage();
    }
    return removeFromList(kIncludedFolders, normalPath(*given).value_or(std::string(*given)));
}

int sources(const Arguments& args) {
    if (!args.empty()) {
        return usage();
    }
    for (const std::string& folder : engine::Preferences().includedFolders()) {
        std::printf("%s\n", folder.c_str());
    }
    return 0;
}

int addExclusion(const Arguments& args) {
    const auto given = onlyArgument(args);
    if (!given) {
        return usage();
    }
    return addToList(kExclusions, normalPath(*given).value_or(std::string(*given)),
                     [](engine::Preferences&) { return std::optional<std::string>(); });
}

int removeExclusion(const Arguments& args) {
    const auto given = onlyArgument(args);
    if (!given) {
        return usage();
    }
    return removeFromList(kExclusions, normalPath(*given).value_or(std::string(*given)));
}

int isExcluded(const Arguments& args) {
    const auto given = onlyArgument(args);
    if (!given) {
        return usage();
    }
    const std::optional<std::string> path = normalPath(*given);
    if (!path) {
        return fail("the path must be absolute");
    }
    engine::Preferences preferences;
    std::vector<std::string> patterns = preferences.exclusions();
    if (const auto repository = preferences.repository()) {
        if (std::string folder; engine::isLocalRepository(*repository, &folder)) {
            patterns.push_back(folder);
        }
    }
    const bool excluded = std::any_of(patterns.begin(), patterns.end(),
                                      [&](const std::string& pattern) {
                                          return engine::excludedBy(*path, pattern);
                                      }) ||
                          !includingFolder(*path, preferences.includedFolders());
    std::printf("[%s]    %s\n", excluded ? "Excluded" : "Included", path->c_str());
    return 0;
}

// Switches one of the engine's own schedules on or off: its preference key and, for the
// automatic backups, the engine's timer where systemd runs.
int setSchedule(const Arguments& args, const char* key, bool on, bool timer) {
    if (!args.empty()) {
        return usage();
    }
    std::string problem;
    if (!engine::Preferences().setBoolean(key, on, &problem)) {
        return fail("cannot save the setting: " + problem);
    }
    if (timer && engine::systemdRunning()) {
        const engine::RunResult run = engine::runToEnd(
            {"/usr/bin/systemctl", on ? "enable" : "disable", "--now", kEngineTimer});
        if (run.status != 0) {
            return fail(std::string("cannot ") + (on ? "enable " : "disable ") + kEngineTimer +
                        ": " + (run.started ? engine::lastLine(run.errors) : run.failure));
        }
    }
    return 0;
}

int status(const Arguments& args) {
    if (!args.empty()) {
        return usage();
    }
    plist::Dictionary report = engine::readStatus().value_or(plist::Dictionary{});
    const bool running = engine::runningWorker().has_value();
    report.insert_or_assign(engine::kRunningKey, plist::Value(running));
    if (!running) {
        report.erase(engine::kPIDKey);
        report.erase(engine::kPercentKey);
    }
    engine::Preferences preferences;
    if (const auto id = preferences.lastDestinationID()) {
        report.insert_or_assign("DestinationID", plist::Value(*id));
        if (const auto entry = preferences.destination(*id)) {
            for (const char* key :
                 {engine::kResultKey, engine::kLastAttemptDateKey, engine::kLastSuccessDateKey}) {
                if (const auto found = entry->find(key); found != entry->end()) {
                    report.insert_or_assign(key, found->second);
                }
            }
        }
    }
    std::printf("Backup session status:\n%s\n", plist::description(plist::Value(report)).c_str());
    return 0;
}

} // namespace

int fail(const std::string& text) {
    std::fprintf(stderr, "tmutil: %s\n", text.c_str());
    return kExitFailure;
}

int usage() {
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

int run(const std::vector<std::string_view>& args) {
    if (args.empty()) {
        return usage();
    }
    const std::string_view verb = args[0];
    const Arguments rest(args.begin() + 1, args.end());
    if (verb == "-h" || verb == "--help" || verb == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    using engine::kAutoBackupKey;
    using engine::kMobileBackupsKey;
    static const std::map<std::string_view, std::function<int(const Arguments&)>> verbs = {
        {"setdestination", setDestination},
        {"destinationinfo", destinationInfo},
        {"addsource", addSource},
        {"removesource", removeSource},
        {"sources", sources},
        {"addexclusion", addExclusion},
        {"removeexclusion", removeExclusion},
        {"isexcluded", isExcluded},
        {"startbackup", startBackup},
        {"stopbackup", stopBackup},
        {"status", status},
        {"enable",
         [](const Arguments& a) {
             return setSchedule(a, kAutoBackupKey, true, true);
         }},
        {"disable",
         [](const Arguments& a) {
             return setSchedule(a, kAutoBackupKey, false, true);
         }},
        {"enablelocal",
         [](const Arguments& a) {
             return setSchedule(a, kMobileBackupsKey, true, false);
         }},
        {"disablelocal",
         [](const Arguments& a) {
             return setSchedule(a, kMobileBackupsKey, false, false);
         }},
        {"snapshot", snapshot},
        {"listlocalsnapshots", listLocalSnapshots},
        {"deletelocalsnapshots", deleteLocalSnapshots},
        {"listbackups", listBackups},
        {"latestbackup", latestBackup},
    };
    const auto found = verbs.find(verb);
    if (found == verbs.end()) {
        std::fprintf(stderr, "tmutil: unknown verb \"%.*s\"\n", static_cast<int>(verb.size()),
                     verb.data());
        return usage();
    }
    return found->second(rest);
}

} // namespace tmutil

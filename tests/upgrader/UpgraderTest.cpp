// The upgrader, run as a program under a temporary installation root: which old jobs give
// which settings, when the settings file is written or left alone, and that every run is
// silent with exit status 0.

#include "platform/plist/Plist.h"
#include "tests/support/InstallationRoot.h"
#include "tests/support/TempFolder.h"

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <limits>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using plist::Array;
using plist::Dictionary;
using plist::Value;

constexpr const char* kLegacyJob =
    "/Library/LaunchDaemons/com.pellmoor.keelbrook.backup-auto.plist";
constexpr const char* kSettings = "/Library/Keelbrook/Settings.plist";
constexpr const char* kProgram = "/Library/Application Support/Keelbrook/backup-auto";

struct Outcome {
    int status = -1;    // the exit status; -1 when the program did not exit normally
    std::string output; // standard output and error together
};

std::string contentsOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& contents) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << contents;
}

mode_t modeOf(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

// One installation below a temporary root, and the upgrader run on it.
class Installation {
public:
    fs::path legacyJob() const { return testsupport::locationIn(root_.path(), kLegacyJob); }
    fs::path settings() const { return testsupport::locationIn(root_.path(), kSettings); }
    fs::path settingsFolder() const { return settings().parent_path(); }

    void installFixture(const std::string& name) const {
        writeFile(legacyJob(), contentsOf(fs::path(FIXTURES) / name));
    }

    void installJob(const Value& job, plist::Format format = plist::Format::Xml) const {
        std::string error;
        std::string bytes;
        if (format == plist::Format::Binary) {
            const auto binary = plist::writeBinary(job, &error);
            ASSERT_TRUE(binary) << error;
            bytes.assign(binary->begin(), binary->end());
        } else {
            const auto xml = plist::writeXml(job, &error);
            ASSERT_TRUE(xml) << error;
            bytes = *xml;
        }
        writeFile(legacyJob(), bytes);
    }

    // Runs the upgrader with `arguments`; `inChild` runs in the child just before exec.
    Outcome run(const std::vector<std::string>& arguments = {},
                const std::function<void()>& inChild = {}) const {
        std::vector<std::string> environment{"KEELBROOK_ROOT=" + root_.path().string()};
        for (char** entry = environ; *entry != nullptr; ++entry) {
            if (std::string_view(*entry).rfind("KEELBROOK_ROOT=", 0) != 0) {
                environment.emplace_back(*entry);
            }
        }
        std::vector<std::string> argumentTexts{UPGRADER};
        argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
        const auto pointers = [](std::vector<std::string>& texts) {
            std::vector<char*> result;
            for (auto& text : texts) {
                result.push_back(text.data());
            }
            result.push_back(nullptr);
            return result;
        };
        const auto argv = pointers(argumentTexts);
        const auto envp = pointers(environment);

        Outcome outcome;
        int channel[2];
        if (::pipe2(channel, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe2 failed";
            return outcome;
        }
        const pid_t child = ::fork();
        if (child == 0) {
            ::dup2(channel[1], STDOUT_FILENO);
            ::dup2(channel[1], STDERR_FILENO);
            if (inChild) {
                inChild();
            }
            ::execve(UPGRADER, argv.data(), envp.data());
            ::_exit(127);
        }
        ::close(channel[1]);
        char buffer[4096];
        for (ssize_t n; (n = ::read(channel[0], buffer, sizeof buffer)) > 0;) {
            outcome.output.append(buffer, static_cast<std::size_t>(n));
        }
        ::close(channel[0]);
        int status = 0;
        if (child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status)) {
            outcome.status = WEXITSTATUS(status);
        }
        return outcome;
    }

    // Runs the upgrader and expects what every run gives: no output, exit status 0.
    void runQuietly(const std::vector<std::string>& arguments = {},
                    const std::function<void()>& inChild = {}) const {
        const Outcome outcome = run(arguments, inChild);
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.output, "");
    }

    std::optional<Value> readSettings() const {
        const std::string bytes = contentsOf(settings());
        std::string error;
        auto value = plist::readBinary(plist::bytesOf(bytes), plist::kSettingsSizeLimit, &error);
        EXPECT_TRUE(value) << "settings are no binary property list: " << error;
        return value;
    }

private:
    testsupport::TempFolder root_;
};

Dictionary jobWith(Array arguments) {
    return {{"Label", "com.pellmoor.keelbrook.backup-auto"},
            {"ProgramArguments", Value(std::move(arguments))}};
}

Dictionary calendarJob(Value calendar, Array arguments) {
    Dictionary job = jobWith(std::move(arguments));
    job.emplace("StartCalendarInterval", std::move(calendar));
    return job;
}

Value calendarEntry(int hour, int minute) {
    return Dictionary{{"Hour", hour}, {"Minute", minute}};
}

struct Case {
    std::string name;
    Dictionary job;
    std::optional<Dictionary> settings; // nullopt: no settings file
};

// Each case on a fresh installation: the job in place, no settings file yet.
void expectCases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Installation installation;
        installation.installJob(c.job);
        installation.runQuietly();
        if (!c.settings) {
            EXPECT_FALSE(fs::exists(installation.settingsFolder()));
            continue;
        }
        const auto written = installation.readSettings();
        ASSERT_TRUE(written);
        // Kinds matter: "AllowBattery" a boolean, "Interval" an integer.
        EXPECT_TRUE(written->isIdenticalTo(Value(*c.settings)))
            << "written:\n"
            << plist::description(*written) << "\nexpected:\n"
            << plist::description(Value(*c.settings));
    }
}

TEST(UpgraderForms, CalendarEntriesAreCarriedOverUnchanged) {
    const Value weekly = Dictionary{{"Hour", 9}, {"Minute", 30}, {"Weekday", 1}};
    const Array both{weekly, calendarEntry(18, 0)};
    expectCases({
        {"a single entry becomes a one-element array",
         calendarJob(calendarEntry(3, 15), {kProgram}),
         Dictionary{{"CalendarIntervals", Array{calendarEntry(3, 15)}}, {"AllowBattery", false}}},
        {"an array stays as it is", calendarJob(both, {kProgram, "--calendar", "--allow-battery"}),
         Dictionary{{"CalendarIntervals", both}, {"AllowBattery", true}}},
        {"an empty array stays empty", calendarJob(Array{}, {kProgram}),
         Dictionary{{"CalendarIntervals", Array{}}, {"AllowBattery", false}}},
        {"entries of other kinds are not filtered", calendarJob(Array{"noon", weekly}, {kProgram}),
         Dictionary{{"CalendarIntervals", Array{"noon", weekly}}, {"AllowBattery", false}}},
        {"calendar entries win over a mode switch",
         calendarJob(both, {kProgram, "--interval", "60", "--allow-battery"}),
         Dictionary{{"CalendarIntervals", both}, {"AllowBattery", false}}},
        {"no program arguments at all", Dictionary{{"StartCalendarInterval", calendarEntry(12, 0)}},
         Dictionary{{"CalendarIntervals", Array{calendarEntry(12, 0)}}, {"AllowBattery", false}}},
    });
}

TEST(UpgraderForms, CalendarBatteryUseOnlyFromTheThirdArgument) {
    const auto allowBattery = [](Array arguments, bool expected) {
        return Case{description(Value(arguments)), calendarJob(calendarEntry(12, 0), arguments),
                    Dictionary{{"CalendarIntervals", Array{calendarEntry(12, 0)}},
                               {"AllowBattery", expected}}};
    };
    expectCases({
        allowBattery({kProgram, "--calendar", "--allow-battery"}, true),
        allowBattery({kProgram, "--allow-battery"}, false),
        allowBattery({kProgram, "--calendar", "--verbose", "--allow-battery"}, false),
        allowBattery({kProgram, "--calendar", "--Allow-Battery"}, false),
        allowBattery({kProgram, "--calendar", 1}, false),
    });
}

TEST(UpgraderForms, IntervalSwitchTakesTheNextArgumentAsItIs) {
    const auto interval = [](std::int64_t seconds, bool allowBattery) {
        return Dictionary{{"Interval", seconds}, {"AllowBattery", allowBattery}};
    };
    expectCases({
        {"interval alone", jobWith({kProgram, "--interval", "7200"}), interval(7200, false)},
        {"battery right after", jobWith({kProgram, "--interval", "7200", "--allow-battery"}),
         interval(7200, true)},
        {"battery later", jobWith({kProgram, "--interval", "60", "-v", "-q", "--allow-battery"}),
         interval(60, true)},
        {"the value is element 2 whatever it says",
         jobWith({kProgram, "--interval", "--allow-battery"}), interval(0, false)},
        {"not a number", jobWith({kProgram, "--interval", "hourly"}), interval(0, false)},
        {"no value: nothing is written", jobWith({kProgram, "--interval"}), std::nullopt},
    });
}

TEST(UpgraderForms, IntervalValuesReadAsThePlatformReadsNumbersInText) {
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    const auto value = [](Value argument, std::int64_t expected) {
        return Case{"\"" + description(argument) + "\"",
                    jobWith({kProgram, "--interval", argument}),
                    Dictionary{{"Interval", expected}, {"AllowBattery", false}}};
    };
    expectCases({
        value("3600", 3600),
        value("  \t42", 42),
        value("+7", 7),
        value("-5", -5),
        value("12abc", 12),
        value("3.9", 3),
        value("0x10", 0),
        value("", 0),
        value("- 5", 0),
        value("9223372036854775807", kMax),
        value("99999999999999999999", kMax),
        value("-9223372036854775808", kMin),
        value("-99999999999999999999", kMin),
        value(5400, 5400),
        value(90.7, 90),
        value(Dictionary{{"Seconds", 60}}, 0),
    });
}

TEST(UpgraderForms, InactiveSwitch) {
    const auto inactive = [](bool allowBattery) {
        return Dictionary{{"WhenInactive", true}, {"AllowBattery", allowBattery}};
    };
    expectCases({
        {"alone", jobWith({kProgram, "--inactive"}), inactive(false)},
        {"battery next", jobWith({kProgram, "--inactive", "--allow-battery"}), inactive(true)},
        {"battery later", jobWith({kProgram, "--inactive", "-v", "--allow-battery"}),
         inactive(true)},
    });
}

TEST(UpgraderForms, ActivitySwitchScansItsOptions) {
    const auto inactive = [](bool allowBattery) {
        return Dictionary{{"WhenInactive", true}, {"AllowBattery", allowBattery}};
    };
    const auto interval = [](std::int64_t seconds, bool allowBattery) {
        return Dictionary{{"Interval", seconds}, {"AllowBattery", allowBattery}};
    };
    expectCases({
        {"battery without interval is the inactivity form",
         jobWith({kProgram, "--xpc-activity", "--allow-battery"}), inactive(true)},
        {"no options", jobWith({kProgram, "--xpc-activity"}), inactive(false)},
        {"an interval", jobWith({kProgram, "--xpc-activity", "--interval", "600"}),
         interval(600, false)},
        {"the last interval counts",
         jobWith({kProgram, "--xpc-activity", "--interval", "600", "--allow-battery", "--interval",
                  "1200"}),
         interval(1200, true)},
        {"a trailing interval switch is skipped",
         jobWith({kProgram, "--xpc-activity", "--allow-battery", "--interval"}), inactive(true)},
        {"the element after the interval switch is its value",
         jobWith({kProgram, "--xpc-activity", "--interval", "--allow-battery"}),
         interval(0, false)},
        {"an interval that is not a number",
         jobWith({kProgram, "--xpc-activity", "--interval", "soon"}), interval(0, false)},
        {"other options are skipped",
         jobWith({kProgram, "--xpc-activity", "--verbose", 5, "--allow-battery"}), inactive(true)},
    });
}

TEST(UpgraderForms, JobsThatNameNoScheduleWriteNothing) {
    expectCases({
        {"only the program", jobWith({kProgram}), std::nullopt},
        {"no arguments", jobWith({}), std::nullopt},
        {"no program arguments", Dictionary{{"Label", "x"}}, std::nullopt},
        {"program arguments of another kind", Dictionary{{"ProgramArguments", "--inactive"}},
         std::nullopt},
        {"the switch at element 0 is the program", jobWith({"--inactive"}), std::nullopt},
        {"an unknown switch", jobWith({kProgram, "--daily", "--allow-battery"}), std::nullopt},
        {"switches are exact", jobWith({kProgram, "--Inactive"}), std::nullopt},
        {"a switch that is no text", jobWith({kProgram, 1}), std::nullopt},
        {"calendar entries of another kind", calendarJob("daily", {kProgram, "--inactive"}),
         std::nullopt},
    });
}

TEST(UpgraderFiles, RealisticOldJobsCarryOver) {
    const Value weekly = Dictionary{{"Hour", 9}, {"Minute", 30}, {"Weekday", 1}};
    const std::vector<std::pair<std::string, Dictionary>> fixtures{
        {"calendar-weekly.plist",
         {{"CalendarIntervals", Array{weekly, calendarEntry(18, 0)}}, {"AllowBattery", true}}},
        {"calendar-daily.plist",
         {{"CalendarIntervals", Array{calendarEntry(3, 15)}}, {"AllowBattery", false}}},
        {"interval.plist", {{"Interval", 7200}, {"AllowBattery", true}}},
        {"inactive.plist", {{"WhenInactive", true}, {"AllowBattery", false}}},
        {"xpc-activity.plist", {{"Interval", 86400}, {"AllowBattery", true}}},
    };
    for (const auto& [fixture, expected] : fixtures) {
        SCOPED_TRACE(fixture);
        const Installation installation;
        installation.installFixture(fixture);
        installation.runQuietly();
        const auto written = installation.readSettings();
        ASSERT_TRUE(written);
        EXPECT_TRUE(written->isIdenticalTo(Value(expected))) << plist::description(*written);
        // The old job is left for the installation's scripts to remove.
        EXPECT_EQ(contentsOf(installation.legacyJob()), contentsOf(fs::path(FIXTURES) / fixture));
    }
}

TEST(UpgraderFiles, BinaryOldJobIsReadToo) {
    const Installation installation;
    installation.installJob(jobWith({kProgram, "--inactive", "--allow-battery"}),
                            plist::Format::Binary);
    installation.runQuietly();
    const auto written = installation.readSettings();
    ASSERT_TRUE(written);
    EXPECT_TRUE(
        written->isIdenticalTo(Value(Dictionary{{"WhenInactive", true}, {"AllowBattery", true}})));
}

// Python's plistlib, an independent reader, sees a binary file with the expected kinds.
TEST(UpgraderFiles, SettingsFileIsABinaryPropertyListOthersRead) {
    ASSERT_EQ(std::system("command -v python3 >/dev/null"), 0)
        << "python3 is needed (scripts/setup)";
    const Installation installation;
    installation.installFixture("calendar-weekly.plist");
    installation.runQuietly();
    EXPECT_EQ(contentsOf(installation.settings()).substr(0, 8), "bplist00");

    const std::string command =
        "python3 -c 'import json, plistlib, sys; "
        "print(json.dumps(plistlib.load(open(sys.argv[1], \"rb\"), fmt=plistlib.FMT_BINARY), "
        "sort_keys=True))' '" +
        installation.settings().string() + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string printed;
    char buffer[512];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        printed.append(buffer, n);
    }
    EXPECT_EQ(::pclose(pipe), 0);
    EXPECT_EQ(printed, "{\"AllowBattery\": true, \"CalendarIntervals\": [{\"Hour\": 9, "
                       "\"Minute\": 30, \"Weekday\": 1}, {\"Hour\": 18, \"Minute\": 0}]}\n");
}

TEST(UpgraderFiles, MissingFoldersAreCreatedAndNothingIsOpenToOthers) {
    const Installation installation;
    installation.installFixture("interval.plist");
    ASSERT_FALSE(fs::exists(installation.settingsFolder().parent_path()));
    // An installer running with umask 0 still gives the daemon a file that only root writes.
    installation.runQuietly({}, [] { ::umask(0); });
    EXPECT_EQ(modeOf(installation.settingsFolder()), 0755u);
    EXPECT_EQ(modeOf(installation.settingsFolder().parent_path()), 0755u);
    EXPECT_EQ(modeOf(installation.settings()), 0644u);
    EXPECT_TRUE(installation.readSettings());
}

TEST(UpgraderFiles, ArgumentsAreIgnored) {
    const Installation installation;
    installation.installFixture("inactive.plist");
    installation.runQuietly({"--help", "--interval", "60"});
    const auto written = installation.readSettings();
    ASSERT_TRUE(written);
    EXPECT_TRUE(
        written->isIdenticalTo(Value(Dictionary{{"WhenInactive", true}, {"AllowBattery", false}})));
}

TEST(UpgraderFiles, WithoutOldJobSettingsAreDeletedAndNothingIsWritten) {
    const Installation nothingInstalled;
    nothingInstalled.runQuietly();
    EXPECT_FALSE(fs::exists(nothingInstalled.settingsFolder()));

    const Installation leftOver;
    writeFile(leftOver.settings(), "left-over settings");
    leftOver.runQuietly();
    EXPECT_FALSE(fs::exists(leftOver.settings()));
    EXPECT_TRUE(fs::exists(leftOver.settingsFolder())) << "only the file goes";
}

TEST(UpgraderFiles, ExistingSettingsAreNeverReplaced) {
    const Installation both;
    both.installFixture("interval.plist");
    writeFile(both.settings(), "current settings");
    both.runQuietly();
    EXPECT_EQ(contentsOf(both.settings()), "current settings");

    // A symbolic link, even a dangling one, is a settings file that is there.
    const Installation linked;
    linked.installFixture("interval.plist");
    fs::create_directories(linked.settingsFolder());
    const fs::path target = linked.settingsFolder() / "elsewhere.plist";
    fs::create_symlink(target, linked.settings());
    linked.runQuietly();
    EXPECT_TRUE(fs::is_symlink(linked.settings()));
    EXPECT_FALSE(fs::exists(target));
}

TEST(UpgraderFiles, UnreadableOldJobsWriteNothing) {
    std::string oversized;
    {
        Dictionary job = jobWith({kProgram, "--inactive"});
        job.emplace("Padding", std::string(1024 * 1024, 'x'));
        std::string error;
        oversized = plist::writeXml(Value(job), &error).value_or("");
        ASSERT_FALSE(oversized.empty()) << error;
    }
    const std::vector<std::pair<std::string, std::string>> jobs{
        {"truncated", contentsOf(fs::path(FIXTURES) / "truncated.plist")},
        {"empty", ""},
        {"not a property list", "ProgramArguments = --inactive\n"},
        {"an array at the root", *plist::writeXml(Value(Array{kProgram, "--inactive"}), nullptr)},
        {"larger than a megabyte", oversized},
    };
    for (const auto& [name, contents] : jobs) {
        SCOPED_TRACE(name);
        const Installation installation;
        writeFile(installation.legacyJob(), contents);
        installation.runQuietly();
        EXPECT_FALSE(fs::exists(installation.settingsFolder()));
    }

    const Installation folderAtJob;
    fs::create_directories(folderAtJob.legacyJob());
    folderAtJob.runQuietly();
    EXPECT_FALSE(fs::exists(folderAtJob.settingsFolder()));
}

TEST(UpgraderFiles, FailuresToWriteAreSilentAndLeaveNothingBehind) {
    // The settings folder's place is taken by a file: it cannot be created.
    const Installation blocked;
    blocked.installFixture("interval.plist");
    writeFile(blocked.settingsFolder(), "in the way");
    blocked.runQuietly();
    EXPECT_EQ(contentsOf(blocked.settingsFolder()), "in the way");

    // No byte may be written: the temporary is removed, no settings file appears.
    const Installation full;
    full.installFixture("interval.plist");
    full.runQuietly({}, [] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit none{0, 0};
        ::setrlimit(RLIMIT_FSIZE, &none);
    });
    ASSERT_TRUE(fs::is_directory(full.settingsFolder()));
    EXPECT_TRUE(fs::is_empty(full.settingsFolder()));
}

} // namespace

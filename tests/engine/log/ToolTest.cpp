// The log tool run as a program: over a journal file written by systemd-journal-remote,
// and over the programs' log files when the journal is not there or not readable.

#include "ToolRunner.h"
#include "platform/calendar/DateFormatter.h"

#include <cmath>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/resource.h>

namespace {

using namespace logtooltest;

constexpr const char* kProduct = "com.vornhal.keelbrook";
constexpr const char* kEngine = "com.apple.TimeMachine";
constexpr const char* kProductPredicate = "subsystem = 'com.vornhal.keelbrook'";
constexpr const char* kConsolePredicate =
    "(subsystem == \"com.vornhal.keelbrook\") || ((subsystem == \"com.apple.TimeMachine\") && "
    "(processImagePath endswith \"backupd\"))";

JournalEntry entry(std::int64_t usec, const std::string& message, int priority,
                   const std::string& subsystem, const std::string& exe) {
    Fields fields{{"MESSAGE", message},
                  {"PRIORITY", std::to_string(priority)},
                  {"_PID", "42"},
                  {"_HOSTNAME", "host"}};
    if (!subsystem.empty()) {
        fields["KEELBROOK_SUBSYSTEM"] = subsystem;
        fields["KEELBROOK_CATEGORY"] = "scheduler";
    }
    if (!exe.empty()) {
        fields["_EXE"] = exe;
    }
    return {usec, fields};
}

nlohmann::json parseJson(const Result& result) {
    EXPECT_EQ(result.status, 0) << result.err;
    return nlohmann::json::parse(result.out, nullptr, false);
}

std::vector<std::string> messagesOf(const nlohmann::json& entries) {
    std::vector<std::string> messages;
    for (const auto& item : entries) {
        messages.push_back(item.value("eventMessage", "?"));
    }
    return messages;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

class JournalTest : public testing::Test {
protected:
    void SetUp() override {
        // Three hours ago, on a whole second.
        base_ = (nowUsec() / 1'000'000 - 3 * 3600) * 1'000'000;
        const std::string scheduler = "/usr/libexec/keelbrook/com.vornhal.keelbrook.scheduler";
        ASSERT_EQ(
            install_.writeJournal({
                entry(base_ + 123456, "default line", 5, kProduct, scheduler),
                entry(base_ + 1'000'000, "info line", 6, kProduct, "/usr/bin/kbectl"),
                entry(base_ + 2'000'000, "debug line", 7, kProduct, scheduler),
                entry(base_ + 3'000'000, "error line", 3, kProduct, scheduler),
                entry(base_ + 4'000'000, "warning line", 4, kProduct, scheduler),
                entry(base_ + 5'000'000, "engine line", 5, kEngine,
                      "/usr/libexec/keelbrook/backupd"),
                entry(base_ + 6'000'000, "thermal line", 5, kEngine, "/usr/sbin/thermald"),
                entry(base_ + 7'000'000, "foreign line", 5, "org.example", "/usr/bin/x"),
                entry(base_ + 8'000'000, "no subsystem", 5, "", "/usr/bin/x"),
                entry(nowUsec() - 90 * 60 * 1'000'000LL, "ninety minutes ago", 5, kProduct,
                      scheduler),
                entry(nowUsec() - 10 * 60 * 1'000'000LL, "ten minutes ago", 5, kProduct, scheduler),
            }),
            0);
        // A log file too: the journal, when readable, is what is shown.
        writeText(install_.systemLogFolder() / "scheduler.log",
                  "8/Dec/26, 03:00:00+0000 scheduler[7] from the file\n");
    }

    nlohmann::json showJson(std::vector<std::string> extra) {
        std::vector<std::string> args{"show", "--debug", "--info"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.end(), {"--style", "json"});
        return parseJson(install_.tool(args));
    }

    Installation install_;
    std::int64_t base_ = 0;
};

TEST_F(JournalTest, JsonCarriesTheFieldsTheConsoleReads) {
    const auto entries = showJson({"--predicate", kProductPredicate});
    ASSERT_TRUE(entries.is_array());
    EXPECT_EQ(messagesOf(entries),
              (std::vector<std::string>{"default line", "info line", "debug line", "error line",
                                        "warning line", "ninety minutes ago", "ten minutes ago"}));
    const auto& first = entries.at(0);
    EXPECT_EQ(first.at("subsystem"), kProduct);
    EXPECT_EQ(first.at("processImagePath"),
              "/usr/libexec/keelbrook/com.vornhal.keelbrook.scheduler");
    EXPECT_EQ(entries.at(1).at("processImagePath"), "/usr/bin/kbectl");
    // Priorities: notice and warning are "Default", info, debug, err.
    std::vector<std::string> types;
    for (std::size_t i = 0; i < 5; ++i) {
        types.push_back(entries.at(i).at("messageType"));
    }
    EXPECT_EQ(types, (std::vector<std::string>{"Default", "Info", "Debug", "Error", "Default"}));

    // The timestamp is in the console's pattern, exact to the microsecond, and parses back.
    const std::string timestamp = first.at("timestamp");
    ASSERT_EQ(timestamp.size(), std::string("2026.12.08 10:15:30.123456+0100").size()) << timestamp;
    EXPECT_EQ(timestamp.substr(20, 6), "123456");
    const auto parsed = cal::parseLogTimestamp(timestamp);
    ASSERT_TRUE(parsed.has_value()) << timestamp;
    EXPECT_NEAR(cal::unixTimeFromDate(*parsed), (base_ + 123456) / 1e6, 0.0015);
}

TEST_F(JournalTest, TimestampsAreInTheSystemTimeZone) {
    RunOptions options = install_.options();
    options.environment["TZ"] = "Asia/Kolkata";
    const Result result = run(LOG_TOOL_PATH, {"show", "--style", "json", "--last", "1h"},
                              install_.scratch(), options);
    const auto entries = parseJson(result);
    ASSERT_EQ(entries.size(), 1u);
    const std::string timestamp = entries[0].at("timestamp");
    EXPECT_TRUE(timestamp.ends_with("+0530")) << timestamp;
    const auto parsed = cal::parseLogTimestamp(timestamp);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_NEAR(cal::unixTimeFromDate(*parsed), nowUsec() / 1e6 - 600, 60);
}

TEST_F(JournalTest, PredicatesSelectTheProductOrTheConsolesMix) {
    EXPECT_EQ(messagesOf(showJson({"--predicate", kConsolePredicate})),
              (std::vector<std::string>{"default line", "info line", "debug line", "error line",
                                        "warning line", "engine line", "ninety minutes ago",
                                        "ten minutes ago"}));
    // Without a predicate every entry that carries a subsystem, and only those.
    const auto all = messagesOf(showJson({}));
    EXPECT_EQ(all.size(), 10u);
    EXPECT_EQ(std::count(all.begin(), all.end(), "no subsystem"), 0);
}

TEST_F(JournalTest, InfoAndDebugEntriesNeedTheirOptions) {
    const Result result =
        install_.tool({"show", "--predicate", kProductPredicate, "--style", "json"});
    EXPECT_EQ(messagesOf(parseJson(result)),
              (std::vector<std::string>{"default line", "error line", "warning line",
                                        "ninety minutes ago", "ten minutes ago"}));
}

TEST_F(JournalTest, LastLimitsToTheRecentEntriesAndRefusesBadValues) {
    EXPECT_EQ(messagesOf(showJson({"--last", "1h", "--predicate", kProductPredicate})),
              (std::vector<std::string>{"ten minutes ago"}));
    EXPECT_EQ(messagesOf(showJson({"--last", "120m", "--predicate", kProductPredicate})),
              (std::vector<std::string>{"ninety minutes ago", "ten minutes ago"}));
    EXPECT_EQ(messagesOf(showJson({"--last", "1d", "--predicate", kProductPredicate})).size(), 7u);
    for (const char* bad : {"2x", "h", "0m", "-1h", "1hh", "99999999999999d"}) {
        const Result result = install_.tool({"show", "--last", bad});
        EXPECT_EQ(result.status, 64) << bad;
        EXPECT_NE(result.err.find("--last"), std::string::npos) << result.err;
        EXPECT_TRUE(result.out.empty());
    }
}

TEST_F(JournalTest, ReadableStylesPrintOneLinePerEntry) {
    const Result compact = install_.tool({"show", "--debug", "--info", "--predicate",
                                          kProductPredicate, "--style", "compact", "--last", "1h"});
    ASSERT_EQ(compact.status, 0) << compact.err;
    const auto compactLines = linesOf(compact.out);
    ASSERT_EQ(compactLines.size(), 1u) << compact.out;
    EXPECT_TRUE(
        compactLines[0].ends_with(" Df com.vornhal.keelbrook.scheduler[42] ten minutes ago"))
        << compactLines[0];

    const Result syslog = install_.tool(
        {"show", "--debug", "--info", "--predicate", kProductPredicate, "--style", "syslog"});
    ASSERT_EQ(syslog.status, 0) << syslog.err;
    const auto lines = linesOf(syslog.out);
    ASSERT_EQ(lines.size(), 7u) << syslog.out;
    EXPECT_NE(lines[3].find(" host com.vornhal.keelbrook.scheduler[42] <Error>: error line"),
              std::string::npos)
        << lines[3];
}

TEST_F(JournalTest, UnknownPredicatesStylesAndOptionsAreRefused) {
    for (const char* predicate :
         {"category == 'x'", "subsystem like 'x'", "subsystem == x", "(subsystem == 'x'",
          "subsystem == 'x' || ", "subsystem == 'x", "eventMessage contains 'x'"}) {
        const Result result = install_.tool({"show", "--predicate", predicate});
        EXPECT_EQ(result.status, 64) << predicate;
        EXPECT_NE(result.err.find("predicate not understood"), std::string::npos) << result.err;
        EXPECT_TRUE(result.out.empty()) << predicate;
    }
    EXPECT_EQ(install_.tool({"show", "--style", "ndjson"}).status, 64);
    EXPECT_EQ(install_.tool({"show", "--bogus"}).status, 64);
    EXPECT_EQ(install_.tool({"stream"}).status, 64);
    EXPECT_EQ(install_.tool({}).status, 64);
}

TEST_F(JournalTest, UserWithoutJournalAccessReadsTheLogFiles) {
    const Result result = install_.tool({"show", "--style", "json"}, true);
    EXPECT_EQ(messagesOf(parseJson(result)), (std::vector<std::string>{"from the file"}));
    // Root sees the journal.
    EXPECT_EQ(messagesOf(showJson({"--last", "1h"})),
              (std::vector<std::string>{"ten minutes ago"}));
}

TEST(LegacyRecords, SyslogNameReadsTheProgramsSyslogMessages) {
    Installation install;
    const std::int64_t now = nowUsec();
    auto legacy = [](std::int64_t usec, const std::string& message, const std::string& identifier) {
        return JournalEntry{usec,
                            {{"MESSAGE", message},
                             {"PRIORITY", "4"},
                             {"SYSLOG_FACILITY", "1"},
                             {"SYSLOG_IDENTIFIER", identifier},
                             {"_PID", "9"}}};
    };
    ASSERT_EQ(
        install.writeJournal({
            legacy(now - 7200'000'000LL, "old kbectl message", "kbectl"),
            legacy(now - 600'000'000LL, "scheduler message", "com.vornhal.keelbrook.scheduler"),
            legacy(now - 500'000'000LL, "engine message", "backupd"),
            legacy(now - 400'000'000LL, "someone else", "cron"),
            entry(now - 300'000'000LL, "unified message", 5, kProduct, "/usr/bin/kbectl"),
        }),
        0);
    const Result all = install.syslogTool({"-k", "Facility", kProduct});
    ASSERT_EQ(all.status, 0) << all.err;
    const auto lines = linesOf(all.out);
    ASSERT_EQ(lines.size(), 2u) << all.out;
    EXPECT_TRUE(lines[0].ends_with(" kbectl[9] <Default>: old kbectl message")) << lines[0];
    EXPECT_TRUE(lines[1].ends_with(" scheduler message")) << lines[1];

    const Result recent =
        install.syslogTool({"-k", "Facility", kProduct, "-k", "Time", "ge", "-1h"});
    ASSERT_EQ(recent.status, 0) << recent.err;
    EXPECT_EQ(linesOf(recent.out).size(), 1u) << recent.out;

    EXPECT_EQ(linesOf(install.syslogTool({"-k", "Facility", kEngine}).out).size(), 1u);
    EXPECT_EQ(install.syslogTool({"-k", "Sender", "cron"}).status, 64);
    EXPECT_EQ(install.syslogTool({"-k", "Time", "ge", "-soon"}).status, 64);
}

// The programs' log files, as the logging statement writes them.
class FileFallbackTest : public testing::Test {
protected:
    void SetUp() override {
        writeText(install_.systemLogFolder() / "scheduler.0.log",
                  "8/Dec/26, 03:00:00+0000 scheduler[7] oldest, rotated\n");
        writeText(install_.systemLogFolder() / "scheduler.log",
                  "8/Dec/26, 04:00:05+0100 scheduler[7] a message\n"
                  "spanning two lines\n"
                  "8/Dec/26, 03:00:09+0000 scheduler[7] last\n");
        writeText(install_.systemLogFolder() / "backupd.log",
                  "8/Dec/26, 03:00:06+0000 backupd[8] engine\n");
        writeText(install_.systemLogFolder() / "unknown.log",
                  "8/Dec/26, 03:00:07+0000 unknown[1] not ours\n");
        writeText(install_.userLogFolder() / "ctl.log",
                  "8/Dec/26, 03:00:08+0000 ctl[9] the user's own\n");
        // No journal socket: the journal is not running.
    }

    Installation install_;
};

TEST_F(FileFallbackTest, EntriesComeFromEveryProgramsFilesInTimeOrder) {
    const auto entries = parseJson(install_.tool(
        {"show", "--debug", "--info", "--predicate", kConsolePredicate, "--style", "json"}));
    EXPECT_EQ(messagesOf(entries),
              (std::vector<std::string>{"oldest, rotated", "a message\nspanning two lines",
                                        "engine", "the user's own", "last"}));
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[0].at("subsystem"), kProduct);
    EXPECT_EQ(entries[0].at("messageType"), "Default");
    EXPECT_EQ(entries[0].at("processImagePath"),
              (install_.root() / "usr/libexec/keelbrook/com.vornhal.keelbrook.scheduler").string());
    EXPECT_EQ(entries[2].at("subsystem"), kEngine);
    EXPECT_TRUE(entries[2].at("processImagePath").get<std::string>().ends_with("/backupd"));
    EXPECT_TRUE(entries[3].at("processImagePath").get<std::string>().ends_with("/usr/bin/kbectl"));
    // Whole seconds, in the console's pattern, denoting the line's own time.
    const std::string timestamp = entries[1].at("timestamp");
    EXPECT_EQ(timestamp.substr(19, 7), ".000000") << timestamp;
    const auto parsed = cal::parseLogTimestamp(timestamp);
    ASSERT_TRUE(parsed.has_value()) << timestamp;
    const auto expected = cal::parseLogTimestamp("2026.12.08 03:00:05.000000+0000");
    EXPECT_EQ(parsed, expected);
}

TEST_F(FileFallbackTest, PredicateAndSyslogNameFilterFileEntriesToo) {
    const auto product =
        parseJson(install_.tool({"show", "--predicate", kProductPredicate, "--style", "json"}));
    EXPECT_EQ(product.size(), 4u);
    const Result engine = install_.syslogTool({"-k", "Facility", kEngine});
    ASSERT_EQ(engine.status, 0) << engine.err;
    ASSERT_EQ(linesOf(engine.out).size(), 1u) << engine.out;
    EXPECT_TRUE(engine.out.ends_with(" backupd[8] <Default>: engine\n")) << engine.out;
}

TEST_F(FileFallbackTest, LinksAreNotFollowed) {
    writeText(install_.root() / "secret", "8/Dec/26, 03:00:00+0000 ctl[1] secret\n");
    fs::create_symlink(install_.root() / "secret", install_.systemLogFolder() / "ctl.log");
    const auto entries = parseJson(install_.tool({"show", "--style", "json"}));
    const auto messages = messagesOf(entries);
    EXPECT_EQ(std::count(messages.begin(), messages.end(), "secret"), 0);
    EXPECT_EQ(messages.size(), 5u);
}

// Large logs are streamed: the tool's peak memory does not grow with the log.
TEST(Streaming, ManyThousandsOfFileEntriesInBoundedMemory) {
    auto peakKilobytes = [](std::size_t lines) {
        Installation install;
        {
            // Written line by line: the child forked to run the tool starts as a copy of
            // this process, and its peak would count a log held here.
            fs::create_directories(install.systemLogFolder());
            std::ofstream out(install.systemLogFolder() / "scheduler.log");
            const std::string padding(400, 'x');
            for (std::size_t i = 0; i < lines; ++i) {
                out << "8/Dec/26, 03:00:00+0000 scheduler[7] entry " << i << ' ' << padding << '\n';
            }
        }
        RunOptions options = install.options();
        // In the address sanitizer's build freed memory waits in a quarantine of 256 MiB,
        // which would count as held; other builds ignore the variable.
        const char* asan = std::getenv("ASAN_OPTIONS");
        options.environment["ASAN_OPTIONS"] =
            std::string(asan ? asan : "") + (asan && *asan ? ":" : "") + "quarantine_size_mb=0";
        const Result result =
            run(LOG_TOOL_PATH, {"show", "--style", "json"}, install.scratch(), options);
        EXPECT_EQ(result.status, 0) << result.err;
        const auto entries = nlohmann::json::parse(result.out, nullptr, false);
        EXPECT_EQ(entries.size(), lines);
        if (!entries.empty()) {
            EXPECT_TRUE(entries.back()
                            .at("eventMessage")
                            .get<std::string>()
                            .starts_with("entry " + std::to_string(lines - 1) + " "));
        }
        rusage usage{};
        getrusage(RUSAGE_CHILDREN, &usage);
        return usage.ru_maxrss; // the largest child so far
    };
    const long small = peakKilobytes(2'000);
    const long large = peakKilobytes(120'000); // about 50 MB of log
    EXPECT_LT(large - small, 16 * 1024) << small << " KiB, then " << large << " KiB";
}

TEST(Streaming, ThousandsOfJournalEntriesAndAClosedPipe) {
    Installation install;
    std::vector<JournalEntry> entries;
    const std::int64_t start = nowUsec() - 3600'000'000LL;
    for (int i = 0; i < 20'000; ++i) {
        entries.push_back(
            entry(start + i, "entry " + std::to_string(i), 5, kProduct, "/usr/bin/kbectl"));
    }
    ASSERT_EQ(install.writeJournal(entries), 0);
    const auto all = parseJson(install.tool({"show", "--style", "json"}));
    ASSERT_EQ(all.size(), 20'000u);
    EXPECT_EQ(all.back().at("eventMessage"), "entry 19999");

    // A reader that stops after the first chunk: the tool ends quietly.
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    const fs::path errPath = install.scratch() / "pipe-stderr";
    const pid_t child = fork();
    if (child == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(err, STDERR_FILENO);
        setenv("KEELBROOK_ROOT", install.root().c_str(), 1);
        setenv("HOME", install.home().c_str(), 1);
        execl(LOG_TOOL_PATH, LOG_TOOL_PATH, "show", "--style", "json", nullptr);
        _exit(127);
    }
    close(pipeFds[1]);
    char chunk[2048];
    EXPECT_GT(read(pipeFds[0], chunk, sizeof chunk), 0);
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(readText(errPath), "");
}

} // namespace

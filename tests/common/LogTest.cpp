#include "LogTestSupport.h"
#include "common/VRNLog.h"
#include "platform/calendar/DateFormatter.h"
#include "platform/dispatch/Time.h"
#include "platform/syslog/LogSettings.h"

#include <cctype>
#include <gtest/gtest.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>

namespace {

using logtest::recorder;

// Whether `text` has the shape of `pattern`: '9' stands for a digit, 'A' and 'a' for a
// letter, anything else for itself.
bool hasShape(std::string_view text, std::string_view pattern) {
    if (text.size() != pattern.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool matches = pattern[i] == '9'   ? std::isdigit(static_cast<unsigned char>(text[i]))
                             : pattern[i] == 'A' ? std::isupper(static_cast<unsigned char>(text[i]))
                             : pattern[i] == 'a' ? std::islower(static_cast<unsigned char>(text[i]))
                                                 : text[i] == pattern[i];
        if (!matches) {
            return false;
        }
    }
    return true;
}

// Logging set up once for the program, as a deliverable does in main, inside a temporary
// installation root (the tests run as root or not; both log below the temporary folder).
class LogTest : public testing::Test {
protected:
    static void SetUpTestSuite() { folder_ = logtest::installLogging("ctl"); }
    static void TearDownTestSuite() {
        delete folder_;
        folder_ = nullptr;
    }

    void SetUp() override {
        recorder().take();
        VRNLOG_UNIFIED = true;
        offset_ = logtest::readFile(logPath()).size();
    }

    static std::filesystem::path logPath() {
        return std::filesystem::path(VRNLogGetParentPath()) / "ctl.log";
    }
    // What was written to the log file since the test began.
    std::string newText() const { return logtest::readFile(logPath()).substr(offset_); }
    static std::string prefix() {
        const auto now = std::chrono::duration<double>(dispatch::wallNow()).count();
        return cal::logDateText(cal::dateFromUnixTime(now)) + " ctl[" + std::to_string(getpid()) +
               "] ";
    }

    static inline logtest::TempFolder* folder_ = nullptr;
    std::size_t offset_ = 0;
};

TEST_F(LogTest, InitChoosesTheJournalAndOpensTheCategoryFileInTheUsersFolder) {
    EXPECT_TRUE(VRNLOG_UNIFIED); // the build's feature level is above 10.12
    EXPECT_TRUE(std::filesystem::exists(logPath()));
    const auto expected = geteuid() == 0 || getuid() == 0
                              ? testsupport::locationIn(folder_->path(), "/Library/Logs/Keelbrook")
                              : folder_->path() / "home/.local/state/keelbrook/log";
    EXPECT_EQ(VRNLogGetParentPath(), expected.string());
}

TEST_F(LogTest, LineHasDateCategoryProcessAndMessage) {
    VRNLog(VRNLogLevelDefault, "Hello %@, %d left.", std::string("world"), 42);
    EXPECT_EQ(newText(), prefix() + "Hello world, 42 left.\n");
    // The virtual clock stands at 2026-12-08 03:00 UTC: "8/Dec/26, 03:00:00+0000" in UTC, the
    // day without a leading zero.
    const std::string date = prefix().substr(0, prefix().find(" ctl["));
    EXPECT_TRUE(hasShape(date, "9/Aaa/99, 99:99:99+9999") ||
                hasShape(date, "9/Aaa/99, 99:99:99-9999"))
        << date;
    EXPECT_NE(date.find("/Dec/26, "), std::string::npos);
}

TEST_F(LogTest, MultiLineAndNonAsciiMessagesAreWrittenAsUtf8) {
    VRNLog(VRNLogLevelInfo, "Grüße %@\nzweite Zeile %s", std::string("日本"), "\xff!");
    EXPECT_EQ(newText(), prefix() + "Grüße 日本\nzweite Zeile \xEF\xBF\xBD!\n");
}

TEST_F(LogTest, JournalGetsEveryLevelWithItsPriorityAndFields) {
    VRNLog(VRNLogLevelDefault, "default");
    VRNLog(VRNLogLevelInfo, "info");
    VRNLog(VRNLogLevelDebug, "debug");
    VRNLog(VRNLogLevelError, "error");
    const auto entries = recorder().take();
    ASSERT_EQ(entries.size(), 4u);
    const int priorities[] = {LOG_NOTICE, LOG_INFO, LOG_DEBUG, LOG_ERR};
    const char* messages[] = {"default", "info", "debug", "error"};
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_TRUE(entries[i].journal);
        EXPECT_EQ(entries[i].priority, priorities[i]);
        EXPECT_EQ(entries[i].message, messages[i]);
        EXPECT_EQ(entries[i].subsystem, "com.vornhal.keelbrook");
        EXPECT_EQ(entries[i].category, "ctl");
    }
    EXPECT_EQ(logtest::linesOf(newText()).size(), 4u);
}

TEST_F(LogTest, OlderSystemsUseSyslogAndKeepDebugLinesOutOfIt) {
    VRNLOG_UNIFIED = false;
    VRNLog(VRNLogLevelDefault, "default");
    VRNLog(VRNLogLevelInfo, "info");
    VRNLog(VRNLogLevelDebug, "debug only in the file");
    VRNLog(VRNLogLevelError, "error");
    _VRNLogSync();
    const auto entries = recorder().take();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].priority, LOG_WARNING);
    EXPECT_EQ(entries[1].priority, LOG_WARNING);
    EXPECT_EQ(entries[2].priority, LOG_ERR);
    EXPECT_EQ(entries[2].message, "error");
    for (const auto& entry : entries) {
        EXPECT_FALSE(entry.journal);
    }
    EXPECT_NE(newText().find("] debug only in the file\n"), std::string::npos);
}

TEST_F(LogTest, WritersAloneReachOnlyTheirDestination) {
    VRNLogWithLevel2(VRNLogLevelError, "file %d", 1);
    EXPECT_TRUE(recorder().take().empty());
    _VRNLog(VRNLogLevelError, "syslog %d", 2);
    const auto entries = recorder().take();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].message, "syslog 2");
    EXPECT_EQ(newText(), prefix() + "file 1\n");
}

TEST_F(LogTest, FormattingFailuresGoToTheDefaultLogAndNothingElse) {
    VRNLog(VRNLogLevelDefault, VRNRuntimeFormat("count %d"), std::string("not a number"));
    VRNLog(VRNLogLevelDefault, VRNRuntimeFormat("bad \xC3 format"));
    const auto entries = recorder().take();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].message, "Could not format string 'count %d'.");
    EXPECT_EQ(entries[1].message, "Could not convert string 'bad \xC3 format'.");
    for (const auto& entry : entries) {
        EXPECT_EQ(entry.priority, LOG_ERR);
        EXPECT_TRUE(entry.subsystem.empty()); // the default log, not the program's
    }
    EXPECT_EQ(newText(), "");
}

TEST_F(LogTest, ConcurrentStatementsWriteWholeLines) {
    constexpr int threads = 4, lines = 500;
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < lines; ++i) {
                VRNLog(VRNLogLevelDebug, "thread %d line %d of %@", t, i, std::string("many"));
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    const auto written = logtest::linesOf(newText());
    ASSERT_EQ(written.size(), static_cast<std::size_t>(threads * lines));
    std::vector<int> next(threads, 0);
    for (const auto& line : written) {
        ASSERT_EQ(line.rfind(prefix(), 0), 0u) << line;
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(line.c_str() + prefix().size(), "thread %d line %d", &t, &i), 2);
        ASSERT_EQ(line, prefix() + "thread " + std::to_string(t) + " line " + std::to_string(i) +
                            " of many");
        EXPECT_EQ(i, next[t]++);
    }
}

TEST_F(LogTest, RootLogsInTheSystemFolderOthersInTheirHome) {
    const std::string system = folder_->path().string() + "/var/log/keelbrook";
    const std::string home = folder_->path().string() + "/home/.local/state/keelbrook/log";
    EXPECT_EQ(VRNLogParentPathForUser(0, 0), system);
    EXPECT_EQ(VRNLogParentPathForUser(0, 501), system);
    EXPECT_EQ(VRNLogParentPathForUser(501, 0), system);
    EXPECT_EQ(VRNLogParentPathForUser(501, 501), home);
}

// A deliverable starting where its log file's path holds a link: the open failure is told
// once, and the lines that follow are dropped without a word.
TEST(LogStartTest, LinkAtTheLogPathIsToldOnceAndFileLoggingStaysOff) {
    logtest::TempFolder root;
    testsupport::useAsInstallationRoot(root.path());
    const std::filesystem::path folder = VRNLogGetParentPath();
    std::filesystem::create_directories(folder);
    const auto target = root.path() / "target";
    { std::ofstream(target) << "precious\n"; }
    std::filesystem::create_symlink(target, folder / "ctl.log");
    recorder().take();

    logtest::restartLogging("ctl");
    VRNLog(VRNLogLevelDefault, "one");
    VRNLog(VRNLogLevelError, "two");

    EXPECT_EQ(logtest::readFile(target), "precious\n");
    std::vector<std::string> failures;
    for (const auto& entry : recorder().take()) {
        if (entry.subsystem.empty()) {
            failures.push_back(entry.message);
        }
    }
    EXPECT_EQ(failures,
              std::vector<std::string>{"Failed to open log file (" + std::to_string(ELOOP) + ")."});
    vrnlog::resetForTesting();
}

} // namespace

namespace {

// The subsystem's logging mode ("log config") as the logging statement reads it at start.
class LogDebugModeTest : public testing::Test {
protected:
    void SetUp() override { folder_.reset(logtest::installLogging("ctl")); }
    void TearDown() override { folder_.reset(); }

    // Starts logging again, as a newly started program would, and logs one debug line.
    std::vector<logtest::SystemLogEntry> debugLineSent() {
        logtest::restartLogging("ctl");
        VRNLOG_UNIFIED = true;
        recorder().take();
        VRNLog(VRNLogLevelDebug, "a debug line");
        return recorder().take();
    }

    std::unique_ptr<logtest::TempFolder> folder_;
};

TEST_F(LogDebugModeTest, ModeReadAtStartDecidesWhetherDebugLinesReachTheJournal) {
    EXPECT_EQ(debugLineSent().size(), 1u); // no setting: on

    std::string error;
    ASSERT_TRUE(systemlog::writeMode("com.vornhal.keelbrook",
                                     {systemlog::ModeLevel::Info, systemlog::ModeLevel::Default},
                                     &error))
        << error;
    EXPECT_TRUE(debugLineSent().empty());
    // Other levels still go; the file has every line.
    VRNLog(VRNLogLevelInfo, "an info line");
    EXPECT_EQ(recorder().take().size(), 1u);
    const std::string file =
        logtest::readFile(std::filesystem::path(VRNLogGetParentPath()) / "ctl.log");
    EXPECT_NE(file.find("a debug line"), std::string::npos);

    ASSERT_TRUE(systemlog::writeMode("com.vornhal.keelbrook",
                                     {systemlog::ModeLevel::Debug, systemlog::ModeLevel::Info},
                                     &error));
    EXPECT_EQ(debugLineSent().size(), 1u);
}

TEST_F(LogDebugModeTest, UnusableSettingsLeaveDebugLinesOn) {
    const std::string path = systemlog::settingPath("com.vornhal.keelbrook");
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    for (const char* text : {"not a property list", "<plist><dict/></plist>"}) {
        std::ofstream(path) << text;
        EXPECT_EQ(debugLineSent().size(), 1u) << text;
    }
    std::filesystem::remove(path);
    const std::string target = path + ".elsewhere";
    ASSERT_TRUE(systemlog::writeMode(
        "com.vornhal.keelbrook", {systemlog::ModeLevel::Off, systemlog::ModeLevel::Off}, nullptr));
    std::filesystem::rename(path, target);
    std::filesystem::create_symlink(target, path); // a link is never followed
    EXPECT_EQ(debugLineSent().size(), 1u);
}

} // namespace

// The log tool's parts on their own: predicates, spans, log file lines, timestamps and
// the output's end at a closed pipe.

#include "engine/log/JournalAccess.h"
#include "engine/log/LogFileSource.h"
#include "engine/log/Output.h"
#include "engine/log/Predicate.h"
#include "engine/log/Query.h"
#include "engine/log/Styles.h"
#include "platform/calendar/DateFormatter.h"

#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using logtool::LogEntry;
using logtool::Predicate;

LogEntry entryOf(std::string subsystem, std::string image) {
    LogEntry entry;
    entry.subsystem = std::move(subsystem);
    entry.processImagePath = std::move(image);
    return entry;
}

TEST(Predicate, TheConsolesFormSelectsTheProductAndTheEnginesWorker) {
    const auto predicate = Predicate::parse(
        "(subsystem == \"com.vornhal.keelbrook\") || ((subsystem == \"com.apple.TimeMachine\") "
        "&& (processImagePath endswith \"backupd\"))",
        nullptr);
    ASSERT_TRUE(predicate.has_value());
    EXPECT_TRUE(predicate->matches(entryOf("com.vornhal.keelbrook", "/usr/bin/kbectl")));
    EXPECT_TRUE(
        predicate->matches(entryOf("com.apple.TimeMachine", "/usr/libexec/keelbrook/backupd")));
    EXPECT_FALSE(predicate->matches(entryOf("com.apple.TimeMachine", "/usr/bin/backupd-helper")));
    EXPECT_FALSE(predicate->matches(entryOf("com.vornhal.keelbrookx", "/usr/bin/kbectl")));
    EXPECT_EQ(predicate->subsystems(),
              (std::set<std::string>{"com.apple.TimeMachine", "com.vornhal.keelbrook"}));
}

TEST(Predicate, OperatorsJunctionsAndPrecedence) {
    const auto product = Predicate::parse("subsystem = 'com.vornhal.keelbrook'", nullptr);
    ASSERT_TRUE(product.has_value());
    EXPECT_TRUE(product->matches(entryOf("com.vornhal.keelbrook", "")));
    EXPECT_FALSE(product->matches(entryOf("com.vornhal", "")));
    EXPECT_EQ(product->subsystems(), (std::set<std::string>{"com.vornhal.keelbrook"}));

    // && binds tighter than ||: a || (b && c).
    const auto mixed = Predicate::parse(
        "subsystem == 'a' OR subsystem == 'b' AND processImagePath BEGINSWITH '/usr'", nullptr);
    ASSERT_TRUE(mixed.has_value());
    EXPECT_TRUE(mixed->matches(entryOf("a", "/opt/x")));
    EXPECT_FALSE(mixed->matches(entryOf("b", "/opt/x")));
    EXPECT_TRUE(mixed->matches(entryOf("b", "/usr/x")));

    const auto negative = Predicate::parse("processImagePath contains \"lib\\\"x\" && "
                                           "subsystem != 'a'",
                                           nullptr);
    ASSERT_TRUE(negative.has_value());
    EXPECT_TRUE(negative->matches(entryOf("b", "/usr/lib\"x/y")));
    EXPECT_FALSE(negative->matches(entryOf("a", "/usr/lib\"x/y")));
    EXPECT_EQ(negative->subsystems(), std::nullopt); // any subsystem but one
}

TEST(Predicate, RefusalsSayWhatAndWhere) {
    const std::pair<const char*, const char*> cases[] = {
        {"eventMessage == 'x'",
         "unknown field 'eventMessage' (subsystem or processImagePath) at offset 0"},
        {"subsystem like 'x'", "expected an operator (==, !=, beginswith, endswith, contains), "
                               "found 'like' at offset 10"},
        {"subsystem == x", "expected a quoted string, found 'x' at offset 13"},
        {"(subsystem == 'x'", "expected ')', found 'end of predicate' at offset 17"},
        {"subsystem == 'x') ", "unexpected ')' at offset 16"},
        {"subsystem == 'x", "unterminated string at offset 13"},
        {"subsystem == 'x' ; rm", "unexpected ';' at offset 17"},
        {"", "expected a field, found 'end of predicate' at offset 0"},
    };
    for (const auto& [text, expected] : cases) {
        std::string error;
        EXPECT_FALSE(Predicate::parse(text, &error).has_value()) << text;
        EXPECT_EQ(error, expected) << text;
    }
}

TEST(Query, SpansAndWhatIsAdmitted) {
    EXPECT_EQ(logtool::parseSpan("30m"), 30 * 60 * 1'000'000LL);
    EXPECT_EQ(logtool::parseSpan("2h"), 2 * 3600 * 1'000'000LL);
    EXPECT_EQ(logtool::parseSpan("1d"), 86400 * 1'000'000LL);
    EXPECT_EQ(logtool::parseSpan("45"), 45 * 1'000'000LL);
    for (const char* bad : {"", "m", "0h", "1x", "1hm", "-1h", " 1h", "36600000d"}) {
        EXPECT_EQ(logtool::parseSpan(bad), std::nullopt) << bad;
    }

    logtool::Query query;
    query.includeDebug = false;
    query.sinceUsec = 100;
    LogEntry entry;
    entry.realtimeUsec = 100;
    entry.priority = 7;
    EXPECT_FALSE(query.admits(entry));
    entry.priority = 6;
    EXPECT_TRUE(query.admits(entry));
    entry.realtimeUsec = 99;
    EXPECT_FALSE(query.admits(entry));
}

TEST(LogFileLine, HeadersAsTheLoggingStatementWritesThem) {
    const auto dates =
        cal::DateFormatter::withPattern(cal::kLogDatePattern, "en_US_POSIX", "UTC", nullptr);
    ASSERT_TRUE(dates);
    // The writer's own date text for a known time parses back to it.
    const double unix = 1796702130; // 2026-12-08 03:55:30 UTC
    const std::string line =
        cal::logDateText(cal::dateFromUnixTime(unix)) + " scheduler[123] [backups] Started.";
    const auto header = logtool::parseLineHeader(line, *dates);
    ASSERT_TRUE(header.has_value()) << line;
    EXPECT_EQ(header->realtimeUsec, 1796702130'000'000LL);
    EXPECT_EQ(header->category, "scheduler");
    EXPECT_EQ(header->pid, 123);
    EXPECT_EQ(header->message, "[backups] Started.");

    const auto offset = logtool::parseLineHeader("8/Dec/26, 04:55:30+0100 ctl[1] ", *dates);
    ASSERT_TRUE(offset.has_value());
    EXPECT_EQ(offset->realtimeUsec, 1796702130'000'000LL);
    EXPECT_EQ(offset->message, "");

    for (const char* continuation :
         {"spanning two lines", "", "8/Dec/26, 04:55:30+0100", "8/Dec/26, 04:55:30+0100 ctl 1] x",
          "8/Dec/26, 04:55:30+0100 ctl[x] y", "32/Dec/26, 04:55:30+0100 ctl[1] y",
          "a b, c d[1] e"}) {
        EXPECT_FALSE(logtool::parseLineHeader(continuation, *dates).has_value()) << continuation;
    }
}

TEST(Timestamps, ConsolePatternKeepsMicrosecondsAndParsesBack) {
    const auto timestamps = logtool::Timestamps::create();
    ASSERT_TRUE(timestamps.has_value());
    const std::int64_t usec = 1796702130'000'001LL;
    const std::string console = timestamps->console(usec);
    EXPECT_EQ(console.substr(19, 7), ".000001") << console;
    EXPECT_TRUE(timestamps->compact(usec + 999'998).ends_with(":30.999"));
    EXPECT_TRUE(timestamps->syslog(usec).starts_with("Dec 0"));
    for (const std::int64_t fraction : {0, 250'000, 999'000}) {
        const auto parsed = cal::parseLogTimestamp(timestamps->console(usec - 1 + fraction));
        ASSERT_TRUE(parsed.has_value());
        EXPECT_DOUBLE_EQ(cal::unixTimeFromDate(*parsed), 1796702130 + fraction / 1e6);
    }
    // Before the epoch the second is still the one the time lies in.
    EXPECT_EQ(timestamps->console(-1).substr(19, 7), ".999999");
}

TEST(JournalAccess, RootAndTheJournalsGroupsMayRead) {
    EXPECT_TRUE(logtool::mayReadSystemJournal(0, 54321, {}));
    EXPECT_FALSE(logtool::mayReadSystemJournal(54321, 54321, {}));
    for (const char* name : {"adm", "systemd-journal"}) {
        if (const group* found = getgrnam(name)) {
            EXPECT_TRUE(logtool::mayReadSystemJournal(54321, found->gr_gid, {})) << name;
            EXPECT_TRUE(logtool::mayReadSystemJournal(54321, 54321, {7777, found->gr_gid})) << name;
        }
    }
}

TEST(Output, AClosedPipeEndsTheOutputQuietly) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    close(fds[0]);
    std::signal(SIGPIPE, SIG_IGN);
    logtool::Output output(fds[1]);
    EXPECT_TRUE(output.write("buffered")); // not yet written
    EXPECT_FALSE(output.flush());
    EXPECT_TRUE(output.closedByReader());
    EXPECT_TRUE(output.failure().empty());
    EXPECT_FALSE(output.write("more"));
    close(fds[1]);
}

} // namespace

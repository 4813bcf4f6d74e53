#include "LogTestSupport.h"
#include "common/VRNLogFile.h"
#include "platform/paths/Paths.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>

namespace {

using logtest::readFile;
using logtest::recorder;

class LogFileTest : public testing::Test {
protected:
    void SetUp() override { recorder().take(); }

    std::filesystem::path dir() const { return folder_.path() / "Library/Logs/Keelbrook"; }
    std::size_t fileCount() const {
        return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir()),
                                                      std::filesystem::directory_iterator()));
    }

    logtest::TempFolder folder_;
};

TEST_F(LogFileTest, FreshInstallCreatesTheFolderAndStartsEmpty) {
    VRNLogFile file(dir().string(), "scheduler");
    file.open();
    ASSERT_TRUE(file.isOpen());
    EXPECT_EQ(file.length(), 0u);
    EXPECT_EQ(file.currentPath(), (dir() / "scheduler.log").string());
    file.write("one\n");
    file.write("two\n");
    EXPECT_EQ(readFile(dir() / "scheduler.log"), "one\ntwo\n");
    EXPECT_EQ(file.length(), 8u);
    EXPECT_TRUE(recorder().take().empty());
}

TEST_F(LogFileTest, ExistingFileAppendsAndCountsItsSize) {
    std::filesystem::create_directories(dir());
    { std::ofstream(dir() / "ctl.log") << "old\n"; }
    VRNLogFile file(dir().string(), "ctl");
    file.open();
    EXPECT_EQ(file.length(), 4u);
    file.write("new\n");
    EXPECT_EQ(readFile(dir() / "ctl.log"), "old\nnew\n");
}

TEST_F(LogFileTest, FileAtTheThresholdAtStartRotatesOnTheFirstLine) {
    std::filesystem::create_directories(dir());
    const auto current = dir() / "scheduler.log";
    { std::ofstream(current) << ""; }
    std::filesystem::resize_file(current, VRNLogFile::kRotationLength);

    VRNLogFile file(dir().string(), "scheduler");
    file.open();
    EXPECT_EQ(file.length(), VRNLogFile::kRotationLength);
    file.write("first\n");

    // No older generations existed: only ".0.log" appears, and nothing is reported.
    EXPECT_EQ(std::filesystem::file_size(dir() / "scheduler.0.log"), VRNLogFile::kRotationLength);
    EXPECT_EQ(readFile(current), "first\n");
    EXPECT_EQ(file.length(), 6u);
    EXPECT_EQ(fileCount(), 2u);
    EXPECT_TRUE(recorder().take().empty());
}

TEST_F(LogFileTest, JustBelowTheThresholdDoesNotRotate) {
    VRNLogFile file(dir().string(), "ctl", 10);
    file.open();
    file.write("123456789"); // 9 bytes: below
    file.write("abc\n");     // written past the threshold
    EXPECT_FALSE(std::filesystem::exists(dir() / "ctl.0.log"));
    file.write("next\n"); // 13 >= 10: rotates first
    EXPECT_EQ(readFile(dir() / "ctl.0.log"), "123456789abc\n");
    EXPECT_EQ(readFile(dir() / "ctl.log"), "next\n");
}

TEST_F(LogFileTest, SixRotationsKeepFiveGenerationsAndDropTheOldest) {
    VRNLogFile file(dir().string(), "ctl", 1);
    file.open();
    for (int i = 0; i <= 6; ++i) {
        file.write("line " + std::to_string(i) + "\n");
    }
    EXPECT_EQ(fileCount(), 6u);
    EXPECT_EQ(readFile(dir() / "ctl.log"), "line 6\n");
    for (int generation = 0; generation < VRNLogFile::kGenerations; ++generation) {
        EXPECT_EQ(readFile(file.generationPath(generation)),
                  "line " + std::to_string(5 - generation) + "\n");
    }
}

TEST_F(LogFileTest, MissingMiddleGenerationsAreSkippedSilently) {
    VRNLogFile file(dir().string(), "ctl", 1);
    file.open();
    file.write("a\n");
    { std::ofstream(dir() / "ctl.2.log") << "two\n"; }
    file.write("b\n"); // .log -> .0, .2 -> .3
    EXPECT_EQ(readFile(dir() / "ctl.0.log"), "a\n");
    EXPECT_FALSE(std::filesystem::exists(dir() / "ctl.1.log"));
    EXPECT_FALSE(std::filesystem::exists(dir() / "ctl.2.log"));
    EXPECT_EQ(readFile(dir() / "ctl.3.log"), "two\n");
    EXPECT_TRUE(recorder().take().empty());
}

TEST_F(LogFileTest, SymbolicLinkAtTheLogPathIsRefused) {
    std::filesystem::create_directories(dir());
    const auto target = folder_.path() / "target";
    { std::ofstream(target) << "precious\n"; }
    std::filesystem::create_symlink(target, dir() / "ctl.log");

    VRNLogFile file(dir().string(), "ctl");
    file.open();
    EXPECT_FALSE(file.isOpen());
    file.write("line\n");
    EXPECT_EQ(readFile(target), "precious\n");

    auto entries = recorder().take();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].message, "Failed to open log file (" + std::to_string(ELOOP) + ").");
    EXPECT_EQ(entries[0].priority, LOG_ERR);
}

TEST_F(LogFileTest, FailedReopenAfterRotationIsToldOnceThenDropsLines) {
    VRNLogFile file(dir().string(), "ctl", 1);
    file.open();
    file.write("a\n");
    std::filesystem::remove_all(dir()); // the reopen after rotation cannot create the file
    file.write("b\n");
    file.write("c\n");
    EXPECT_FALSE(file.isOpen());

    auto entries = recorder().take();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].message, "Failed to open log file (" + std::to_string(ENOENT) + ").");
}

// A link that takes the current file's place where the rotation cannot move it away (every
// generation's name is held by a folder): the reopen refuses it, and that refusal is what is
// told, once, not a failed write of the next line.
TEST_F(LogFileTest, LinkFoundAtTheLogPathWhenReopeningIsToldAsTheOpenFailure) {
    VRNLogFile file(dir().string(), "ctl", 1);
    file.open();
    file.write("a\n");
    const auto target = folder_.path() / "target";
    { std::ofstream(target) << "precious\n"; }
    std::filesystem::remove(dir() / "ctl.log");
    std::filesystem::create_symlink(target, dir() / "ctl.log");
    std::filesystem::create_directories(dir() / "ctl.0.log");
    for (int generation = 1; generation < VRNLogFile::kGenerations; ++generation) {
        std::filesystem::create_directories(file.generationPath(generation) + "/full");
    }

    file.write("b\n");
    file.write("c\n");
    EXPECT_FALSE(file.isOpen());
    EXPECT_EQ(readFile(target), "precious\n");
    auto entries = recorder().take();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].message, "Failed to open log file (" + std::to_string(ELOOP) + ").");
    EXPECT_EQ(entries[0].priority, LOG_ERR);
}

// The root's and a user's log folders alike: a link in the folder's place is refused, and
// a folder swapped for a link after the start is not followed, not even by the rotation.
class LogFolderTest : public LogFileTest, public testing::WithParamInterface<const char*> {
protected:
    std::filesystem::path logFolder() const {
        const std::string_view which = GetParam();
        if (which == "system") {
            return testsupport::locationIn(folder_.path(), "/Library/Logs/Keelbrook");
        }
        const auto user = paths::userFolders((folder_.path() / "home").c_str(), nullptr, nullptr);
        return paths::userLocation("Library/Logs/Keelbrook", user);
    }
    // A folder of the same user that a link would lead the writer into.
    std::filesystem::path elsewhere() const {
        auto other = folder_.path() / "elsewhere";
        std::filesystem::create_directories(other);
        return other;
    }
};

TEST_P(LogFolderTest, LinkInPlaceOfTheFolderIsRefused) {
    const auto other = elsewhere();
    std::filesystem::create_directories(logFolder().parent_path());
    std::filesystem::create_directory_symlink(other, logFolder());

    VRNLogFile file(logFolder().string(), "ctl");
    file.open();
    file.write("line\n");
    EXPECT_FALSE(file.isOpen());
    EXPECT_TRUE(std::filesystem::is_empty(other));
    auto entries = recorder().take();
    ASSERT_EQ(entries.size(), 1u);
    // O_DIRECTORY | O_NOFOLLOW on a link: the kernel answers ENOTDIR.
    EXPECT_EQ(entries[0].message, "Failed to open log file (" + std::to_string(ENOTDIR) + ").");
}

TEST_P(LogFolderTest, FolderSwappedForALinkKeepsLinesAndRotationsInTheOpenedFolder) {
    const auto other = elsewhere();
    VRNLogFile file(logFolder().string(), "ctl", 1);
    file.open();
    file.write("before\n");
    const auto moved = folder_.path() / "moved";
    std::filesystem::rename(logFolder(), moved);
    std::filesystem::create_directory_symlink(other, logFolder());

    file.write("after\n"); // rotates first
    EXPECT_TRUE(std::filesystem::is_empty(other));
    EXPECT_EQ(readFile(moved / "ctl.0.log"), "before\n");
    EXPECT_EQ(readFile(moved / "ctl.log"), "after\n");
    EXPECT_TRUE(recorder().take().empty());
}

TEST_P(LogFolderTest, FolderOfAnotherUserIsRefused) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "only root can give a folder to another user";
    }
    constexpr uid_t nobody = 65534;
    std::filesystem::create_directories(logFolder());
    ASSERT_EQ(chown(logFolder().c_str(), nobody, nobody), 0);

    VRNLogFile file(logFolder().string(), "ctl");
    file.open();
    file.write("line\n");
    EXPECT_FALSE(file.isOpen());
    EXPECT_FALSE(std::filesystem::exists(logFolder() / "ctl.log"));
    auto entries = recorder().take();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].message,
              "Failed to open log file (" + std::to_string(VRNLogFile::kFolderNotOwned) + ").");
}

INSTANTIATE_TEST_SUITE_P(RootAndUser, LogFolderTest, testing::Values("system", "user"));

TEST_F(LogFileTest, WriteErrorIsReportedAndLengthUnchanged) {
    std::filesystem::create_directories(dir());
    // A device that fails every write with ENOSPC, standing in for a full disk.
    if (mknod((dir() / "ctl.log").c_str(), S_IFCHR | 0644, makedev(1, 7)) != 0) {
        GTEST_SKIP() << "cannot create a device node here";
    }
    VRNLogFile file(dir().string(), "ctl");
    file.open();
    ASSERT_TRUE(file.isOpen());
    const auto before = file.length();
    file.write("lost\n");
    EXPECT_EQ(file.length(), before);
    auto entries = recorder().take();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].message,
              "Failed to write to log file (" + std::to_string(ENOSPC) + ") 'lost\n'.");
}

// Writers on several threads across several rotations: every file holds whole lines only,
// every rotated generation was cut at its first crossing, and no line is lost.
TEST_F(LogFileTest, ConcurrentWritersRotateOncePerCrossingAndNeverInterleave) {
    constexpr std::uint64_t threshold = 40'000; // about 150 kB in all: three rotations
    constexpr int threads = 4, linesPerThread = 2000;
    VRNLogFile file(dir().string(), "ctl", threshold);
    file.open();
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([&file, t] {
            for (int i = 0; i < linesPerThread; ++i) {
                file.write("writer " + std::to_string(t) + " line " + std::to_string(i) + "\n");
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    std::map<int, int> nextLine;
    int rotated = 0;
    for (int generation = VRNLogFile::kGenerations - 1; generation >= -1; --generation) {
        const auto path = generation < 0 ? file.currentPath() : file.generationPath(generation);
        if (!std::filesystem::exists(path)) {
            continue;
        }
        const std::string contents = readFile(path);
        ASSERT_EQ(contents.back(), '\n');
        if (generation >= 0) {
            ++rotated;
            EXPECT_GE(contents.size(), threshold);
            EXPECT_LT(contents.size(), threshold + 20);
        }
        for (const std::string& line : logtest::linesOf(contents)) {
            int t = -1, i = -1;
            ASSERT_EQ(std::sscanf(line.c_str(), "writer %d line %d", &t, &i), 2) << line;
            ASSERT_EQ(line, "writer " + std::to_string(t) + " line " + std::to_string(i));
            EXPECT_EQ(i, nextLine[t]++) << "lines of one writer stay in order, none lost";
        }
    }
    EXPECT_EQ(rotated, 3);
    for (int t = 0; t < threads; ++t) {
        EXPECT_EQ(nextLine[t], linesPerThread);
    }
}

} // namespace

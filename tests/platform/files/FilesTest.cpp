#include "platform/files/Files.h"

#include "tests/support/TempFolder.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using files::Symlinks;

std::vector<std::uint8_t> bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeText(const fs::path& path, std::string_view text) {
    std::ofstream(path, std::ios::binary)
        .write(text.data(), static_cast<std::streamsize>(text.size()));
}

mode_t modeOf(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

bool closeOnExec(int fd) {
    const int flags = ::fcntl(fd, F_GETFD);
    return flags >= 0 && (flags & FD_CLOEXEC);
}

// The names in `folder` other than `except`.
std::vector<std::string> othersIn(const fs::path& folder, const std::string& except) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename() != except) {
            names.push_back(entry.path().filename().string());
        }
    }
    return names;
}

// Runs `body` in a child that may write at most `limit` bytes into any file, and returns
// its exit status.
template <class Body>
int withFileSizeLimit(rlim_t limit, Body body) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN); // a write past the limit fails with EFBIG instead
        const rlimit small{limit, limit};
        ::setrlimit(RLIMIT_FSIZE, &small);
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class FilesTest : public testing::Test {
protected:
    testsupport::TempFolder folder;
    fs::path file = folder.path() / "settings.plist";
};

TEST_F(FilesTest, DescriptorsAreCloseOnExecAndClosedOnceByTheirOwner) {
    writeText(file, "x");
    files::Descriptor fd = files::openFile(file, O_RDONLY);
    ASSERT_TRUE(fd.valid());
    EXPECT_TRUE(closeOnExec(fd.get()));
    const int raw = fd.get();

    files::Descriptor moved = std::move(fd);
    EXPECT_FALSE(fd.valid());
    EXPECT_EQ(moved.get(), raw);
    EXPECT_TRUE(closeOnExec(raw)); // still open: the move did not close it

    files::Descriptor other = files::openFile(file, O_RDONLY);
    const int otherRaw = other.get();
    other = std::move(moved); // closes what `other` held
    EXPECT_EQ(::fcntl(otherRaw, F_GETFD), -1);
    EXPECT_EQ(other.get(), raw);
    EXPECT_TRUE(other.close());
    EXPECT_FALSE(other.valid());
    EXPECT_EQ(::fcntl(raw, F_GETFD), -1);
    {
        files::Descriptor scoped = files::openFile(file, O_RDONLY);
        ASSERT_GE(scoped.get(), 0);
        EXPECT_EQ(scoped.get(), raw); // the lowest free number again
    }
    EXPECT_EQ(::fcntl(raw, F_GETFD), -1);

    files::Error error;
    EXPECT_FALSE(
        files::openFile(folder.path() / "missing", O_RDONLY, 0, Symlinks::Follow, &error).valid());
    EXPECT_EQ(error.number, ENOENT);
    EXPECT_NE(error.text.find("cannot open"), std::string::npos) << error.text;
}

TEST_F(FilesTest, ReadsAreBoundedBeforeAndWhileReading) {
    writeText(file, "0123456789");
    EXPECT_EQ(files::readFile(file, 10), bytesOf("0123456789"));

    files::Error error;
    EXPECT_EQ(files::readFile(file, 9, Symlinks::Follow, &error), std::nullopt);
    EXPECT_EQ(error.number, EFBIG);
    EXPECT_EQ(error.text, file.string() + " is larger than 9 bytes");

    // A file already over the limit is refused before a byte is read.
    {
        files::Descriptor sparse =
            files::openFile(folder.path() / "sparse", O_RDWR | O_CREAT, 0600);
        ASSERT_EQ(::ftruncate(sparse.get(), off_t{1} << 40), 0);
        EXPECT_EQ(files::readAll(sparse.get(), 1 << 20, "sparse", &error), std::nullopt);
        EXPECT_EQ(error.number, EFBIG);
        EXPECT_EQ(::lseek(sparse.get(), 0, SEEK_CUR), 0);
    }

    // Endless and self-describing-as-empty files stop one byte past the limit.
    EXPECT_EQ(files::readFile("/dev/zero", 1 << 20, Symlinks::Follow, &error), std::nullopt);
    EXPECT_EQ(error.number, EFBIG);
    files::Descriptor zero = files::openFile("/dev/zero", O_RDONLY);
    EXPECT_EQ(files::readAll(zero.get(), 1000, "/dev/zero", &error), std::nullopt);
    EXPECT_EQ(::lseek(zero.get(), 0, SEEK_CUR), 0); // a device has no offset to tell
    // /proc files say they are empty and then yield more, as a growing file does.
    struct stat st {};
    ASSERT_EQ(::stat("/proc/self/mountinfo", &st), 0);
    ASSERT_EQ(st.st_size, 0);
    EXPECT_EQ(files::readFile("/proc/self/mountinfo", 16, Symlinks::Follow, &error), std::nullopt);
    EXPECT_EQ(error.number, EFBIG);
    auto whole = files::readFile("/proc/self/mountinfo", 1 << 20);
    ASSERT_TRUE(whole.has_value());
    EXPECT_GT(whole->size(), 16u);

    // An empty file and a limit of zero.
    writeText(file, "");
    EXPECT_EQ(files::readFile(file, 0), std::vector<std::uint8_t>{});
}

TEST_F(FilesTest, ASymbolicLinkIsFollowedOnlyWhenAllowed) {
    const fs::path target = folder.path() / "target";
    writeText(target, "secret");
    fs::create_symlink(target, file);
    files::Error error;
    EXPECT_EQ(files::readFile(file, 100, Symlinks::DoNotFollow, &error), std::nullopt);
    EXPECT_EQ(error.number, ELOOP);
    EXPECT_EQ(files::readFile(file, 100), bytesOf("secret"));

    const files::Descriptor dir = files::openFile(folder.path(), O_RDONLY | O_DIRECTORY);
    EXPECT_EQ(files::readFileAt(dir.get(), "target", 100, Symlinks::DoNotFollow),
              bytesOf("secret"));
    EXPECT_EQ(files::readFileAt(dir.get(), file.filename(), 100, Symlinks::DoNotFollow, &error),
              std::nullopt);
    EXPECT_EQ(error.number, ELOOP);
}

TEST_F(FilesTest, APartialWriteIsContinuedAndAFailureAfterItReported) {
    const std::vector<std::uint8_t> bytes(300000, 'k');
    // A pipe takes a large write in pieces while the reader drains it.
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    files::Descriptor readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
    ASSERT_GT(::fcntl(writeEnd.get(), F_SETPIPE_SZ, 4096), 0);
    const pid_t reader = ::fork();
    if (reader == 0) {
        writeEnd.reset();
        auto got = files::readAll(readEnd.get(), bytes.size(), "pipe");
        ::_exit(got == bytes ? 0 : 1);
    }
    readEnd.reset();
    EXPECT_TRUE(files::writeAll(writeEnd.get(), bytes, "pipe"));
    writeEnd.reset();
    int status = 0;
    ::waitpid(reader, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    // Past the file size limit a write is cut short and the next one fails with EFBIG.
    const int outcome = withFileSizeLimit(1000, [&] {
        files::Descriptor fd = files::openFile(file, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        files::Error error;
        const bool ok = files::writeAll(fd.get(), std::span(bytes).first(1500), "f", &error);
        return !ok && error.number == EFBIG ? 0 : 1;
    });
    EXPECT_EQ(outcome, 0);
    EXPECT_EQ(fs::file_size(file), 1000u); // the first, partial write went through
}

TEST_F(FilesTest, ACrashAtAnyStepOfAReplacementLeavesTheOldOrTheNewFile) {
    ASSERT_TRUE(files::replaceFile(file, bytesOf("old contents")));
    for (auto step : {files::ReplaceStep::TemporaryOpened, files::ReplaceStep::HalfWritten,
                      files::ReplaceStep::Synced, files::ReplaceStep::Renamed}) {
        const pid_t child = ::fork();
        if (child == 0) {
            files::ReplaceOptions options;
            options.observer = [step](files::ReplaceStep now) {
                if (now == step) {
                    ::_exit(9); // killed here
                }
            };
            files::replaceFile(file, bytesOf("new contents, longer"), options);
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 9);
        EXPECT_EQ(readText(file),
                  step == files::ReplaceStep::Renamed ? "new contents, longer" : "old contents")
            << static_cast<int>(step);
        // The killed writer's temporary stays until the stale ones are removed.
        const auto others = othersIn(folder.path(), file.filename());
        EXPECT_EQ(others.size(), step == files::ReplaceStep::Renamed ? 0u : 1u);
        EXPECT_EQ(files::removeStaleTemporaries(file), others.size());
        EXPECT_TRUE(othersIn(folder.path(), file.filename()).empty());
        ASSERT_TRUE(files::replaceFile(file, bytesOf("old contents")));
    }
}

TEST_F(FilesTest, AReplacementKeepsOrSetsTheModeWhateverTheUmask) {
    const mode_t savedUmask = ::umask(077);
    ASSERT_TRUE(files::replaceFile(file, bytesOf("a")));
    EXPECT_EQ(modeOf(file), 0644); // modeIfNew, exactly
    fs::permissions(file, fs::perms(0640));
    ASSERT_TRUE(files::replaceFile(file, bytesOf("b")));
    EXPECT_EQ(modeOf(file), 0640); // kept
    files::ReplaceOptions given;
    given.mode = 0600;
    ASSERT_TRUE(files::replaceFile(file, bytesOf("c"), given));
    EXPECT_EQ(modeOf(file), 0600); // given
    const fs::path tool = folder.path() / "tool-output";
    files::ReplaceOptions asATool;
    asATool.modeIfNew = 0666;
    asATool.umaskForNew = true;
    ASSERT_TRUE(files::replaceFile(tool, bytesOf("d"), asATool));
    EXPECT_EQ(modeOf(tool), 0600); // narrowed as a tool's new file is
    ::umask(savedUmask);
    EXPECT_EQ(readText(file), "c");
}

TEST_F(FilesTest, AReplacementReplacesASymbolicLinkAndNeverWritesThroughIt) {
    const fs::path target = folder.path() / "precious";
    writeText(target, "precious");
    fs::permissions(target, fs::perms(0600));
    fs::create_symlink(target, file);
    ASSERT_TRUE(files::replaceFile(file, bytesOf("new")));
    EXPECT_FALSE(fs::is_symlink(file));
    EXPECT_EQ(readText(file), "new");
    EXPECT_EQ(modeOf(file), 0644); // the link's target lends no mode
    EXPECT_EQ(readText(target), "precious");
}

TEST_F(FilesTest, AFailedReplacementLeavesTheFileAndNoTemporary) {
    ASSERT_TRUE(files::replaceFile(file, bytesOf("kept")));
    const std::vector<std::uint8_t> large(5000, 'x');
    const int outcome = withFileSizeLimit(1000, [&] {
        files::Error error;
        const bool ok = files::replaceFile(file, large, {}, &error);
        return !ok && error.number == EFBIG && error.text.find("cannot write") != std::string::npos
                   ? 0
                   : 1;
    });
    EXPECT_EQ(outcome, 0);
    EXPECT_EQ(readText(file), "kept");
    EXPECT_TRUE(othersIn(folder.path(), file.filename()).empty());

    files::Error error;
    EXPECT_FALSE(files::replaceFile(folder.path() / "no/such/folder/f", large, {}, &error));
    EXPECT_EQ(error.number, ENOENT);
}

TEST_F(FilesTest, OnlyTheTemporariesOfDeadWritersAreRemoved) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(0);
    }
    ::waitpid(child, nullptr, 0); // reaped: its pid names no live process
    const std::string base = file.filename();
    const std::string dead = base + "." + std::to_string(child) + ".0123456789abcdef";
    const std::string live = base + "." + std::to_string(::getpid()) + ".0123456789abcdef";
    const std::string init = base + ".1.fedcba9876543210"; // alive, owned by another user
    const std::vector<std::string> unrelated = {
        "other.plist." + std::to_string(child) + ".0123456789abcdef",
        base + "." + std::to_string(child) + ".0123456789abcde",  // too short
        base + "." + std::to_string(child) + ".0123456789ABCDEF", // not ours: upper case
        base + "." + std::to_string(child) + ".0123456789abcdef.x",
        base + ".lock",
        base + ".corrupt",
    };
    for (const auto& name : unrelated) {
        writeText(folder.path() / name, "");
    }
    for (const auto& name : {dead, live, init}) {
        writeText(folder.path() / name, "");
    }
    EXPECT_EQ(files::removeStaleTemporaries(file), 1u);
    EXPECT_FALSE(fs::exists(folder.path() / dead));
    EXPECT_TRUE(fs::exists(folder.path() / live));
    EXPECT_TRUE(fs::exists(folder.path() / init));
    for (const auto& name : unrelated) {
        EXPECT_TRUE(fs::exists(folder.path() / name)) << name;
    }
}

} // namespace

#include "platform/preferences/Domain.h"

#include "platform/paths/Paths.h"
#include "platform/plist/Plist.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

plist::Dictionary parse(const fs::path& path) {
    std::string text = readText(path);
    std::string error;
    auto value = plist::read(plist::bytesOf(text), plist::kPreferencesSizeLimit, &error);
    EXPECT_TRUE(value && value->isDictionary()) << error;
    return value && value->isDictionary() ? *value->asDictionary() : plist::Dictionary{};
}

class DomainTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kb-prefs-XXXXXX";
        root = mkdtemp(pattern);
        file = root / "Library/Preferences/com.vornhal.keelbrook.scheduler.plist";
    }
    void TearDown() override { fs::remove_all(root); }

    prefs::Domain domain() { return prefs::Domain("com.vornhal.keelbrook.scheduler", file); }

    fs::path root;
    fs::path file;
};

TEST_F(DomainTest, MissingFileIsEmptyAndChangesAreWrittenThroughAsBinary) {
    auto d = domain();
    EXPECT_TRUE(d.dictionary().empty());
    EXPECT_EQ(d.value("DryRun"), std::nullopt);
    EXPECT_EQ(d.takeFileProblem(), std::nullopt);

    ASSERT_TRUE(d.setValue("DryRun", true));
    ASSERT_TRUE(d.setValue("UMode", "std"));
    EXPECT_EQ(readText(file).substr(0, 8), "bplist00");
    EXPECT_EQ(d.value("DryRun"), plist::Value(true));
    // Another object, as another process would, sees the change at once.
    EXPECT_EQ(domain().value("UMode"), plist::Value("std"));

    // Edits that change nothing leave the file as it is: no step of a write is taken.
    int writeSteps = 0;
    d.setWriteObserver([&](prefs::WriteStep) { ++writeSteps; });
    ASSERT_TRUE(d.setValue("UMode", "std"));
    ASSERT_TRUE(d.removeValue("NotThere"));
    EXPECT_EQ(writeSteps, 0) << "an edit that changed nothing was written";

    ASSERT_TRUE(d.removeValue("DryRun"));
    EXPECT_GT(writeSteps, 0);
    EXPECT_EQ(parse(file), (plist::Dictionary{{"UMode", plist::Value("std")}}));
    EXPECT_TRUE(d.synchronize());
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                  fs::perms::others_read);
}

TEST_F(DomainTest, AFileThatDoesNotParseIsReadAsEmptyAndMovedAsideBeforeTheNextWrite) {
    fs::create_directories(file.parent_path());
    writeText(file, "bplist00 this is not a property list");
    auto d = domain();
    EXPECT_TRUE(d.dictionary().empty());
    auto problem = d.takeFileProblem();
    ASSERT_TRUE(problem.has_value());
    EXPECT_NE(problem->find("is not a property-list dictionary"), std::string::npos) << *problem;

    ASSERT_TRUE(d.setValue("Activities", plist::Dictionary{}));
    EXPECT_EQ(readText(file.string() + ".corrupt"), "bplist00 this is not a property list");
    EXPECT_EQ(parse(file).count("Activities"), 1u);
    problem = d.takeFileProblem();
    ASSERT_TRUE(problem.has_value());
    EXPECT_NE(problem->find("moved aside"), std::string::npos) << *problem;

    // A well-formed property list that is not a dictionary is no domain either.
    writeText(file, "<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>");
    EXPECT_TRUE(d.dictionary().empty());
    EXPECT_TRUE(d.takeFileProblem().has_value());
}

TEST_F(DomainTest, AnXmlFileIsReadToo) {
    fs::create_directories(file.parent_path());
    writeText(file, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n"
                    "<dict><key>AutoBackup</key><false/></dict></plist>\n");
    EXPECT_EQ(domain().value("AutoBackup"), plist::Value(false));
}

TEST_F(DomainTest, WritersOfOneDomainKeepEachOthersKeys) {
    auto writer = [this](const std::string& prefix) {
        auto d = domain();
        for (int i = 0; i < 100; ++i) {
            ASSERT_TRUE(d.setValue(prefix + std::to_string(i), i));
        }
    };
    // A third writer in another process, forked before the threads start: a child forked
    // beside running threads could inherit a lock one of them holds.
    pid_t child = fork();
    if (child == 0) {
        auto d = domain();
        for (int i = 0; i < 100; ++i) {
            if (!d.setValue("c" + std::to_string(i), i)) {
                _exit(1);
            }
        }
        _exit(0);
    }
    std::thread a(writer, "a");
    std::thread b(writer, "b");
    a.join();
    b.join();
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(parse(file).size(), 300u);
}

TEST_F(DomainTest, ACrashAtAnyStepOfAWriteLeavesTheOldOrTheNewFile) {
    ASSERT_TRUE(domain().setValue("Generation", 1));
    for (auto step : {prefs::WriteStep::TemporaryOpened, prefs::WriteStep::HalfWritten,
                      prefs::WriteStep::Synced, prefs::WriteStep::Renamed}) {
        pid_t child = fork();
        if (child == 0) {
            auto d = domain();
            d.setWriteObserver([step](prefs::WriteStep now) {
                if (now == step) {
                    _exit(9); // killed here
                }
            });
            d.setValue("Generation", 2);
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_EQ(WEXITSTATUS(status), 9);
        auto contents = parse(file);
        int64_t expected = step == prefs::WriteStep::Renamed ? 2 : 1;
        EXPECT_EQ(contents.at("Generation"), plist::Value(expected)) << static_cast<int>(step);
        ASSERT_TRUE(domain().setValue("Generation", 1));
    }
}

// The names beside the domain's file other than the file and its lock.
std::vector<std::string> leftovers(const fs::path& file) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(file.parent_path())) {
        const auto name = entry.path().filename().string();
        if (name != file.filename() && name != file.filename().string() + ".lock") {
            names.push_back(name);
        }
    }
    return names;
}

TEST_F(DomainTest, TheTemporariesOfKilledWritersAreRemovedAtTheNextWrite) {
    ASSERT_TRUE(domain().setValue("Generation", 0));
    for (int kill = 1; kill <= 3; ++kill) {
        pid_t child = fork();
        if (child == 0) {
            auto d = domain();
            d.setWriteObserver([](prefs::WriteStep now) {
                if (now == prefs::WriteStep::HalfWritten) {
                    _exit(9);
                }
            });
            d.setValue("Generation", kill);
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_EQ(WEXITSTATUS(status), 9);
        // Each writer removed its dead predecessor's temporary and left its own.
        ASSERT_EQ(leftovers(file).size(), 1u) << kill;
    }

    // A writer still alive (here: a process that only waits) keeps its temporary.
    int gate[2];
    ASSERT_EQ(pipe2(gate, O_CLOEXEC), 0);
    pid_t live = fork();
    if (live == 0) {
        char byte;
        close(gate[1]);
        (void)!read(gate[0], &byte, 1);
        _exit(0);
    }
    close(gate[0]);
    const std::string liveTemporary =
        file.string() + "." + std::to_string(live) + ".00000000000000aa";
    writeText(liveTemporary, "in progress");

    ASSERT_TRUE(domain().setValue("Generation", 4));
    EXPECT_EQ(leftovers(file), std::vector<std::string>{fs::path(liveTemporary).filename()});
    EXPECT_EQ(parse(file).at("Generation"), plist::Value(4));
    close(gate[1]);
    waitpid(live, nullptr, 0);
    ASSERT_TRUE(domain().setValue("Generation", 5));
    EXPECT_TRUE(leftovers(file).empty());
}

TEST_F(DomainTest, AFileOverTheSizeLimitReadsAsEmptyAndIsReported) {
    fs::create_directories(file.parent_path());
    writeText(file, "bplist00");
    fs::resize_file(file, prefs::kMaxFileSize + 1);
    auto d = domain();
    EXPECT_TRUE(d.dictionary().empty());
    auto problem = d.takeFileProblem();
    ASSERT_TRUE(problem.has_value());
    EXPECT_NE(problem->find("is larger than 16777216 bytes"), std::string::npos) << *problem;

    ASSERT_TRUE(d.setValue("Key", 1));
    EXPECT_EQ(fs::file_size(file.string() + ".corrupt"), prefs::kMaxFileSize + 1);
    EXPECT_EQ(parse(file).size(), 1u);
}

TEST_F(DomainTest, ASymbolicLinkAtThePathIsNeverFollowed) {
    fs::create_directories(file.parent_path());
    fs::path target = root / "elsewhere.plist";
    writeText(target, "precious");
    fs::create_symlink(target, file);
    auto d = domain();
    EXPECT_TRUE(d.dictionary().empty());
    EXPECT_TRUE(d.takeFileProblem().has_value());
    ASSERT_TRUE(d.setValue("Key", 1));
    EXPECT_EQ(readText(target), "precious");
    EXPECT_FALSE(fs::is_symlink(file));
    EXPECT_EQ(parse(file).size(), 1u);

    // A link planted at the lock file stops the write instead.
    fs::remove(file.string() + ".lock");
    fs::create_symlink(target, file.string() + ".lock");
    std::string error;
    EXPECT_FALSE(d.setValue("Key", 2, &error));
    EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
    EXPECT_EQ(readText(target), "precious");
}

TEST(DomainLocationTest, SystemDomainsLiveUnderTheRootUserDomainsUnderHome) {
    EXPECT_EXIT(
        {
            setenv("KEELBROOK_ROOT", "/tmp/kbroot", 1);
            setenv("HOME", "/home/u", 1);
            unsetenv("XDG_CONFIG_HOME");
            paths::rereadRootForTesting();
            bool ok =
                prefs::Domain("com.apple.TimeMachine", prefs::Scope::System).file() ==
                    "/tmp/kbroot/var/lib/keelbrook-engine/com.apple.TimeMachine.plist" &&
                prefs::Domain("com.vornhal.keelbrook.scheduler", prefs::Scope::System).file() ==
                    "/tmp/kbroot/var/lib/keelbrook/preferences/"
                    "com.vornhal.keelbrook.scheduler.plist" &&
                prefs::Domain("com.vornhal.keelbrook.application", prefs::Scope::User).file() ==
                    "/home/u/.config/keelbrook/com.vornhal.keelbrook.application.plist";
            std::exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

// The user's preferences folder may lie outside the home (XDG_CONFIG_HOME): its files are
// still the user's own, private to the user.
TEST(DomainLocationTest, UserDomainsOutsideTheHomeStayPrivate) {
    char pattern[] = "/tmp/kb-prefs-XXXXXX";
    const fs::path folder = mkdtemp(pattern);
    EXPECT_EXIT(
        {
            setenv("HOME", (folder / "home").c_str(), 1);
            setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1);
            prefs::Domain user("com.vornhal.keelbrook.application", prefs::Scope::User);
            struct stat info {};
            bool ok = user.file() == (folder / "config/keelbrook").string() +
                                         "/com.vornhal.keelbrook.application.plist" &&
                      user.setValue("Key", 1) && stat(user.file().c_str(), &info) == 0 &&
                      (info.st_mode & 0777) == 0600;
            std::exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    fs::remove_all(folder);
}

} // namespace

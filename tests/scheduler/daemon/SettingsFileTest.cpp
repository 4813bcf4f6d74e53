#include "tests/scheduler/daemon/SettingsTestSupport.h"

#include <csignal>
#include <gmock/gmock.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace {

using namespace settingstest;
using testing::ElementsAre;
using testing::HasSubstr;

class SettingsFileTest : public SettingsTest {
protected:
    // Reads the file expecting a refusal: the code and the end of its text.
    void expectRefused(KBEHelperSettings& reader, long code, const std::string& reason,
                       const std::string& label) {
        VRNError error("none", 0);
        EXPECT_FALSE(reader.readSettingsWithError(&error)) << label;
        EXPECT_EQ(error.domain(), KBEFileErrorDomain) << label;
        EXPECT_EQ(error.code(), code) << label;
        EXPECT_THAT(VRNError::localizedDescriptionForError(error),
                    HasSubstr("The settings file " + file().string() + " " + reason))
            << label;
        // At start-up the same refusal is one error line, and the defaults are in force.
        logged();
        reader.start();
        EXPECT_EQ(Value(reader.settings()), Value(reader.defaultSettings())) << label;
        const auto lines = logged();
        ASSERT_EQ(lines.size(), 1u) << label;
        EXPECT_EQ(lines[0].rfind("Failed to read settings. The settings file ", 0), 0u) << label;
    }
};

TEST_F(SettingsFileTest, OnlyARegularFileOfTheOwnerThatOthersCannotWriteIsRead) {
    const Value good(clientSettings());
    struct Row {
        const char* name;
        std::function<void()> prepare;
        long code;
        std::string reason;
    };
    const fs::path elsewhere = root.path() / "elsewhere.plist";
    const Row rows[] = {
        {"a symbolic link to a good file",
         [&] {
             putFile(good);
             fs::rename(file(), elsewhere);
             fs::create_symlink(elsewhere, file());
         },
         KBEFileReadNoPermissionError, "is a symbolic link and is not read."},
        {"writable by its group",
         [&] {
             putFile(good);
             fs::permissions(file(), fs::perms(0664));
         },
         KBEFileReadNoPermissionError, "is writable by group or others (mode 0664)."},
        {"writable by others",
         [&] {
             putFile(good);
             fs::permissions(file(), fs::perms(0646));
         },
         KBEFileReadNoPermissionError, "is writable by group or others (mode 0646)."},
        {"a folder", [&] { fs::create_directories(file()); }, KBEFileReadNoPermissionError,
         "is not a regular file."},
        {"a named pipe (not waited on)",
         [&] {
             fs::create_directories(file().parent_path());
             ASSERT_EQ(::mkfifo(file().c_str(), 0644), 0);
         },
         KBEFileReadNoPermissionError, "is not a regular file."},
        // A well-formed property list, so that only its size can be the reason.
        {"larger than 1 MiB",
         [&] {
             Dictionary big = clientSettings();
             big.insert_or_assign("Padding", plist::Data(KBEHelperSettings::kMaximumFileSize));
             putFile(Value(big));
         },
         KBEFileReadTooLargeError, "is larger than 1048576 bytes."},
    };
    for (const Row& row : rows) {
        std::error_code ignored;
        fs::remove_all(file(), ignored);
        row.prepare();
        expectRefused(*settings, row.code, row.reason, row.name);
    }

    fs::remove_all(file());
    putFile(good);
    EXPECT_EQ(Value(*settings->readSettingsWithError(nullptr)), good);
}

TEST_F(SettingsFileTest, AFileOfAnotherOwnerIsRefused) {
    putFile(Value(clientSettings()));
    auto strict = makeSettings(::getuid() + 1);
    expectRefused(
        *strict, KBEFileReadNoPermissionError,
        "is owned by " +
            (::getuid() == 0 ? std::string("root") : "uid " + std::to_string(::getuid())) +
            ", not by uid " + std::to_string(::getuid() + 1) + ".",
        "another owner");
}

TEST_F(SettingsFileTest, WritingGivesMode0644WhateverTheOldFileOrTheUmask) {
    putFile(Value(clientSettings()));
    fs::permissions(file(), fs::perms(0600));
    const mode_t previous = ::umask(0077);
    const bool written = settings->writeSettings(settings->defaultSettings(), nullptr);
    ::umask(previous);
    ASSERT_TRUE(written);
    EXPECT_EQ(fs::status(file()).permissions(), fs::perms(0644));
    EXPECT_EQ(Value(*settings->readSettingsWithError(nullptr)), Value(settings->defaultSettings()));
}

// A writer killed at any step of the replacement leaves the old or the new file, whole.
TEST_F(SettingsFileTest, AWriterKilledAtAnyStepLeavesTheOldOrTheNewFile) {
    // Two generations of different sizes, so that a mix of them could not pass for either.
    Dictionary small = clientSettings();
    Dictionary large = clientSettings();
    Array many;
    for (int hour = 0; hour < 24; ++hour) {
        many.push_back(Dictionary{{"Hour", hour}, {"Minute", 7}, {"Weekday", hour % 7 + 1}});
    }
    large.at("CalendarIntervals").mutableDictionary().insert_or_assign("Intervals", many);
    ASSERT_TRUE(settings->writeSettings(small, nullptr));

    const files::ReplaceStep steps[] = {files::ReplaceStep::TemporaryOpened,
                                        files::ReplaceStep::HalfWritten, files::ReplaceStep::Synced,
                                        files::ReplaceStep::Renamed};
    const Dictionary* onDisk = &small;
    for (int run = 0; run < 200; ++run) {
        const files::ReplaceStep step = steps[run % 4];
        const Dictionary* next = onDisk == &small ? &large : &small;
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            settings->setWriteObserver([step](files::ReplaceStep now) {
                if (now == step) {
                    ::kill(::getpid(), SIGKILL);
                }
            });
            settings->writeSettings(*next, nullptr);
            ::_exit(0); // not killed: the test fails below
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "run " << run;

        VRNError error("none", 0);
        auto read = settings->readSettingsWithError(&error);
        ASSERT_TRUE(read) << "run " << run << ": " << error.description();
        if (step == files::ReplaceStep::Renamed) {
            onDisk = next;
        }
        ASSERT_EQ(Value(*read), Value(*onDisk)) << "run " << run;
    }
    // The temporaries the killed writers left are removed by the next write.
    ASSERT_TRUE(settings->writeSettings(small, nullptr));
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(file().parent_path())) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_THAT(names, ElementsAre("Settings.plist"));
}

} // namespace

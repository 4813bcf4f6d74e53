#pragma once

// The real engine in a private installation root: tmutil and backupd as built, restic
// writing into a repository inside the root, the simulated machine (power source and
// power assertions in files), no system bus and no systemd, so tmutil runs the worker as
// its child.

#include "engine/core/EngineFiles.h"
#include "engine/core/Preferences.h"
#include "engine/core/Restic.h"
#include "engine/core/RunState.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FolderEvents.h"
#include "tests/support/InstallationRoot.h"
#include "tests/support/TempFolder.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <initializer_list>
#include <sstream>
#include <string>
#include <sys/random.h>
#include <unistd.h>
#include <vector>

namespace enginetest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A backup of a large tree takes longer than the usual wait.
inline constexpr std::chrono::milliseconds kBackupLimit = 180s;

inline std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// `size` random bytes (restic can neither deduplicate nor compress them).
inline void writeRandomFile(const fs::path& path, std::size_t size) {
    fs::create_directories(path.parent_path());
    std::string bytes(size, '\0');
    for (std::size_t got = 0; got < size;) {
        const ssize_t n = ::getrandom(bytes.data() + got, size - got, 0);
        ASSERT_GT(n, 0);
        got += static_cast<std::size_t>(n);
    }
    std::ofstream(path, std::ios::binary) << bytes;
}

inline std::uintmax_t folderSize(const fs::path& folder) {
    std::uintmax_t total = 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            total += entry.file_size();
        }
    }
    return total;
}

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::useAsInstallationRoot(root_.path());
        ::setenv("KEELBROOK_PLATFORM", "simulated", 1);
        ::setenv("TZ", "UTC", 1);
        ::unsetenv("CACHE_DIRECTORY");
        const fs::path worker = engine::backupdProgram();
        fs::create_directories(worker.parent_path());
        fs::create_symlink(BACKUPD_PATH, worker);
        data_ = root_.path() / "data";
        repository_ = root_.path() / "repository";
        fs::create_directories(data_);
    }

    void TearDown() override { ::unsetenv("KEELBROOK_PLATFORM"); }

    testsupport::ChildRun tmutil(std::initializer_list<std::string> args,
                                 std::chrono::milliseconds limit = kBackupLimit) {
        std::vector<std::string> command = {TMUTIL_PATH};
        command.insert(command.end(), args);
        return testsupport::runChild(command, testsupport::ChildProcess::Errors::WithOutput, limit);
    }

    testsupport::ChildRun restic(const std::vector<std::string>& args) {
        return testsupport::runChild(engine::resticCommand(repository_.string(), args).args,
                                     testsupport::ChildProcess::Errors::WithOutput, kBackupLimit);
    }

    // A repository at repository_ backing up only data_.
    void setUpDestination() {
        const auto set = tmutil({"setdestination", repository_.string()});
        ASSERT_EQ(set.exitStatus, 0) << set.output;
        for (const char* folder : {"/home", "/etc"}) {
            ASSERT_EQ(tmutil({"removesource", folder}).exitStatus, 0);
        }
        ASSERT_EQ(tmutil({"addsource", data_.string()}).exitStatus, 0);
    }

    std::optional<plist::Dictionary> destinationEntry() {
        engine::Preferences preferences;
        const auto id = preferences.lastDestinationID();
        return id ? preferences.destination(*id) : std::nullopt;
    }

    std::optional<std::int64_t> recordedResult() {
        const auto entry = destinationEntry();
        if (!entry) {
            return std::nullopt;
        }
        const auto found = entry->find(engine::kResultKey);
        return found == entry->end() ? std::nullopt : found->second.asInteger();
    }

    std::string workerLog() { return readText(root_.path() / "var/log/keelbrook/backupd.log"); }

    // The number of backups restic lists.
    std::size_t backupCount() {
        const auto listed = tmutil({"listbackups"});
        EXPECT_EQ(listed.exitStatus, 0) << listed.output;
        std::size_t lines = 0;
        for (char c : listed.output) {
            lines += c == '\n';
        }
        return lines;
    }

    // Waits, without sleeping, until the worker's status file satisfies `done`: each
    // replacement of the file is a rename into its folder.
    template <class Predicate>
    bool waitForStatus(Predicate done) {
        return waitInFolder(fs::path(engine::statusFile()).parent_path(),
                            IN_MOVED_TO | IN_CLOSE_WRITE, [&] {
                                const auto status = engine::readStatus();
                                return status && done(*status);
                            });
    }

    // Waits, without sleeping, until the worker's log holds `text`.
    bool waitForWorkerLog(const std::string& text) {
        return waitInFolder(root_.path() / "var/log/keelbrook", IN_MODIFY | IN_CREATE,
                            [&] { return workerLog().find(text) != std::string::npos; });
    }

    testsupport::TempFolder root_;
    fs::path data_;
    fs::path repository_;

private:
    // Checks `done` each time the folder reports one of `events`, up to kBackupLimit.
    template <class Check>
    static bool waitInFolder(const fs::path& folder, std::uint32_t events, Check done) {
        fs::create_directories(folder);
        return testsupport::FolderEvents(folder, events).waitUntil(done, kBackupLimit);
    }
};

} // namespace enginetest

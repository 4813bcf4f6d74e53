#pragma once

// Helpers of the logging, error and spawning tests: a system log that records instead of
// sending, a temporary installation root, and file reading.

#include "common/VRNLog.h"
#include "platform/syslog/SystemLog.h"
#include "tests/support/InstallationRoot.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestEnvironment.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace logtest {

struct SystemLogEntry {
    bool journal = false; // else syslog
    int priority = 0;
    std::string message;
    std::string subsystem;
    std::string category;
};

class RecordingBackend final : public systemlog::Backend {
public:
    void journal(int priority, std::string_view message, std::string_view subsystem,
                 std::string_view category) override {
        std::lock_guard guard(lock_);
        entries_.push_back(
            {true, priority, std::string(message), std::string(subsystem), std::string(category)});
    }
    void syslog(int priority, std::string_view message) override {
        std::lock_guard guard(lock_);
        entries_.push_back({false, priority, std::string(message), {}, {}});
    }
    std::vector<SystemLogEntry> take() {
        std::lock_guard guard(lock_);
        return std::exchange(entries_, {});
    }

private:
    std::mutex lock_;
    std::vector<SystemLogEntry> entries_;
};

// The process's recorder, installed on first use and kept for the program's life.
inline RecordingBackend& recorder() {
    static RecordingBackend* const shared = [] {
        auto* backend = new RecordingBackend;
        systemlog::setBackend(backend);
        return backend;
    }();
    return *shared;
}

using TempFolder = testsupport::TempFolder;

// Logging started again in the current installation root, recording the system log, as
// a new process of the deliverable would start it in main.
inline void restartLogging(const char* category) {
    recorder();
    testsupport::installEnvironment();
    vrnlog::resetForTesting();
    VRNLogInit("com.vornhal.keelbrook", category);
}

// Logging started afresh for a test suite inside a new temporary installation root (with
// HOME below it). The folder is the caller's to delete; the next call starts over in a
// folder of its own, so a test program can be repeated.
inline TempFolder* installLogging(const char* category) {
    auto* folder = new TempFolder;
    testsupport::useAsInstallationRoot(folder->path());
    restartLogging(category);
    return folder;
}

// A temporary installation root for the rest of the program, with the system log recorded.
inline void useTemporaryRoot() {
    static TempFolder* const root = [] {
        auto* folder = new TempFolder;
        testsupport::useAsInstallationRoot(folder->path());
        return folder;
    }();
    (void)root;
    recorder();
}

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

inline std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

} // namespace logtest

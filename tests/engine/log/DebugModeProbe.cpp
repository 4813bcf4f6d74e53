// A program of the product in miniature: starts logging as every program's main does, logs
// one debug and one default line, and prints what reached the journal, one line per entry
// ("<priority> <message>").

#include "common/VRNLog.h"
#include "platform/syslog/SystemLog.h"
#include "tests/support/TestEnvironment.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace {

class JournalRecorder final : public systemlog::Backend {
public:
    void journal(int priority, std::string_view message, std::string_view,
                 std::string_view) override {
        std::lock_guard guard(lock_);
        lines_.push_back(std::to_string(priority) + " " + std::string(message));
    }
    void syslog(int, std::string_view) override {}
    std::vector<std::string> lines() {
        std::lock_guard guard(lock_);
        return lines_;
    }

private:
    std::mutex lock_;
    std::vector<std::string> lines_;
};

} // namespace

int main() {
    static JournalRecorder recorder;
    systemlog::setBackend(&recorder);
    testsupport::installEnvironment();
    VRNLogInit("com.vornhal.keelbrook", "ctl");
    VRNLog(VRNLogLevelDebug, "probe debug");
    VRNLog(VRNLogLevelDefault, "probe default");
    for (const std::string& line : recorder.lines()) {
        std::printf("%s\n", line.c_str());
    }
    return 0;
}

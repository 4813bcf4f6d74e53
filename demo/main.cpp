// Shows the runtime at work: queues that funnel into the main queue, a wall-clock timer, a
// child process reaped through its exit source, and a group that ends the program.
#include "common/VRNEnvironment.h"
#include "common/VRNProcessInfo.h"
#include "common/VRNQueue.h"
#include "common/VRNSystemVersionManager.h"
#include "platform/dispatch/Group.h"
#include "platform/dispatch/Source.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

using namespace std::chrono_literals;

namespace {

dispatch::Duration started;

void say(const char* queue, const char* text) {
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(dispatch::monotonicNow() - started);
    std::printf("[%6.3f s] %-34s %s\n", static_cast<double>(ms.count()) / 1000.0, queue, text);
    std::fflush(stdout);
}

std::string wallClockText() {
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(dispatch::wallNow()).count();
    time_t t = static_cast<time_t>(seconds);
    char text[32];
    std::strftime(text, sizeof text, "%H:%M:%S", std::localtime(&t));
    return text;
}

} // namespace

int main() {
    started = dispatch::monotonicNow();
    // The composition root: this demo reads no machine state.
    VRNEnvironment::install(VRNEnvironment::fromProcess(nullptr));
    const VRNEnvironment& environment = VRNEnvironment::shared();
    const auto& versions = *environment.versions;
    std::printf("%s (%s): feature level %ld.%ld.%ld, main queue \"%s\"\n",
                VRNProcessInfo::productName().c_str(), VRNProcessInfo::productIdentifier().c_str(),
                versions.version().majorVersion, versions.version().minorVersion,
                versions.version().patchVersion, environment.logicQueue->label().c_str());

    dispatch::Group everything;
    auto backups = VRNQueueCreate("com.vornhal.keelbrook.backup-manager", environment.logicQueue);
    auto controller = VRNQueueCreate("com.vornhal.keelbrook.main", environment.logicQueue);

    // Two queues on the main queue: their items interleave but never overlap.
    for (int i = 1; i <= 3; ++i) {
        everything.async(backups, [i] {
            say("com.vornhal.keelbrook.backup-manager", ("item " + std::to_string(i)).c_str());
        });
        everything.async(controller, [i] {
            say("com.vornhal.keelbrook.main", ("item " + std::to_string(i)).c_str());
        });
    }

    // A wall-clock timer every half second, three times.
    everything.enter();
    static int ticks = 0;
    static dispatch::TimerSource* timer = new dispatch::TimerSource(controller, [everything] {
        ++ticks;
        say("com.vornhal.keelbrook.main",
            ("wall-clock tick " + std::to_string(ticks) + " at " + wallClockText()).c_str());
        if (ticks == 3) {
            timer->cancel();
            auto group = everything;
            group.leave();
        }
    });
    timer->schedule(dispatch::wallAfterNow(500ms), 500ms, 10ms);

    // A child process, reaped through its exit source on the backup manager's queue.
    const char* argv[] = {"/bin/sh", "-c",
                          "sleep 1; echo '  (child) pretending to back up'; exit 3", nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
        std::perror("posix_spawn");
        return 1;
    }
    say("main thread", ("started child " + std::to_string(pid)).c_str());
    everything.enter();
    static std::unique_ptr<dispatch::ProcessSource> exitSource =
        dispatch::ProcessSource::create(pid, backups, [everything](int status) {
            std::string text =
                WIFEXITED(status)
                    ? "child exited with status " + std::to_string(WEXITSTATUS(status))
                    : "child ended by signal " + std::to_string(WTERMSIG(status));
            say("com.vornhal.keelbrook.backup-manager", text.c_str());
            auto group = everything;
            group.leave();
        });
    if (!exitSource) {
        std::perror("pidfd_open");
        return 1;
    }

    everything.notify(environment.logicQueue, [] {
        say("com.vornhal.main", "all done; exiting from a queue item");
        std::exit(0);
    });
    dispatch::parkMainThread();
}

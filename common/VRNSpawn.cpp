#include "common/VRNSpawn.h"

#include "platform/dispatch/Source.h"

#include <cerrno>
#include <csignal>
#include <memory>
#include <mutex>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// Starts the child with a clean signal mask and default signal dispositions: the runtime's
// threads block signals and the caller may ignore some, and a tool must not inherit either.
// A detached child also gets a session of its own.
enum class Session { Inherited, New };
// `outputFd` >= 0 becomes the child's standard output.
int startChild(const char* const argv[], pid_t* pid, Session session = Session::Inherited,
               int outputFd = -1) {
    if (argv == nullptr || argv[0] == nullptr) {
        return EINVAL;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (outputFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigset_t all;
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setsigdefault(&attributes, &all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (session == Session::New) {
        flags |= POSIX_SPAWN_SETSID;
    }
    posix_spawnattr_setflags(&attributes, flags);
    const int result =
        posix_spawn(pid, argv[0], &actions, &attributes, const_cast<char* const*>(argv), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return result;
}

// The user info shared by every outcome: "tool" (absent for a vector without a name).
plist::Dictionary toolInfo(const std::optional<std::string>& tool) {
    plist::Dictionary info;
    if (tool) {
        info.emplace("tool", *tool);
    }
    return info;
}

std::optional<std::string> toolName(const char* const argv[]) {
    if (argv == nullptr || argv[0] == nullptr) {
        return std::nullopt;
    }
    return std::string(argv[0]);
}

// A failed outcome before it becomes an error (errors are logged when they are created).
struct Failure {
    long code;
    plist::Dictionary info;

    VRNError error() const { return VRNError::errorWithDomain(VRNSpawnerErrorDomain, code, info); }
};

Failure startFailure(const std::optional<std::string>& tool, int number) {
    Failure failure{VRNSpawnerErrorSpawnFailed, toolInfo(tool)};
    failure.info.emplace("errno", number);
    return failure;
}

// How waiting for a child ended: its wait status, or the error number of a wait that
// failed (the child was reaped elsewhere, or could not be collected).
struct WaitResult {
    int status = 0;
    int waitError = 0;
};

// What a wait result stands for: nothing for a normal exit with 0. A failed wait says
// nothing about how the tool ended, so it is a failure like a failed start (code 0 with the
// wait's error number). A signal wins over an exit status.
std::optional<Failure> failureForResult(const std::optional<std::string>& tool, WaitResult result) {
    if (result.waitError != 0) {
        return startFailure(tool, result.waitError);
    }
    const int status = result.status;
    if (WIFSIGNALED(status)) {
        Failure failure{VRNSpawnerErrorSignal, toolInfo(tool)};
        failure.info.emplace("signal", WTERMSIG(status));
        return failure;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        Failure failure{VRNSpawnerErrorExitStatus, toolInfo(tool)};
        failure.info.emplace("exit-status", WEXITSTATUS(status));
        return failure;
    }
    return std::nullopt;
}

std::optional<VRNError> errorForResult(const std::optional<std::string>& tool, WaitResult result) {
    auto failure = failureForResult(tool, result);
    return failure ? std::optional<VRNError>(failure->error()) : std::nullopt;
}

// A process source reports -1 when it could not collect the child's status.
WaitResult resultOfSourceStatus(int status) {
    return status == -1 ? WaitResult{0, ECHILD} : WaitResult{status, 0};
}

WaitResult waitForChild(pid_t pid) {
    WaitResult result;
    while (waitpid(pid, &result.status, 0) < 0) {
        if (errno != EINTR) {
            return WaitResult{0, errno};
        }
    }
    return result;
}

// The process-exit source of one child, freed by whichever comes last: the handler or the
// code that stores the source after creating it.
class PendingChild {
public:
    void store(std::unique_ptr<dispatch::ProcessSource> source) {
        std::unique_lock guard(lock_);
        if (finished_) {
            guard.unlock();
            source.reset();
            return;
        }
        source_ = std::move(source);
    }
    void finish() {
        std::unique_ptr<dispatch::ProcessSource> source;
        {
            std::lock_guard guard(lock_);
            finished_ = true;
            source = std::move(source_);
        }
        // Cancelled here, after the handler: the source has done its one job.
    }

private:
    std::mutex lock_;
    bool finished_ = false;
    std::unique_ptr<dispatch::ProcessSource> source_;
};

} // namespace

bool spawn_tool(const char* const argv[], VRNError* error) {
    const pid_t pid = spawn_tool_with_output(argv, -1, error);
    return pid >= 0 && wait_for_tool(pid, argv, error);
}

void spawn_tool_async(const char* const argv[], dispatch::QueuePtr queue, VRNSpawnHandler handler) {
    const std::optional<std::string> tool = toolName(argv);
    pid_t pid = 0;
    if (int result = startChild(argv, &pid); result != 0) {
        queue->async([handler = std::move(handler), error = startFailure(tool, result).error()] {
            handler(error);
        });
        return;
    }
    auto pending = std::make_shared<PendingChild>();
    auto shared = std::make_shared<VRNSpawnHandler>(std::move(handler));
    auto source = dispatch::ProcessSource::create(pid, queue, [pending, shared, tool](int status) {
        (*shared)(errorForResult(tool, resultOfSourceStatus(status)));
        pending->finish();
    });
    if (source) {
        pending->store(std::move(source));
        return;
    }
    // No process descriptor to watch (an old kernel, or out of descriptors): wait on the
    // thread pool instead, so the handler still runs once after the child is reaped.
    dispatch::globalQueue()->async([pid, queue, shared, tool] {
        const WaitResult result = waitForChild(pid);
        queue->async([shared, tool, result] { (*shared)(errorForResult(tool, result)); });
    });
}

bool spawn_detached(const char* const argv[], pid_t* pid, VRNError* error) {
    pid_t child = 0;
    if (int result = startChild(argv, &child, Session::New); result != 0) {
        if (error) {
            *error = startFailure(toolName(argv), result).error();
        }
        return false;
    }
    if (pid) {
        *pid = child;
    }
    return true;
}

pid_t spawn_tool_with_output(const char* const argv[], int outputFd, VRNError* error) {
    pid_t pid = 0;
    if (int result = startChild(argv, &pid, Session::Inherited, outputFd); result != 0) {
        if (error) {
            *error = startFailure(toolName(argv), result).error();
        }
        return -1;
    }
    return pid;
}

bool wait_for_tool(pid_t pid, const char* const argv[], VRNError* error) {
    const std::optional<Failure> failure = failureForResult(toolName(argv), waitForChild(pid));
    if (failure && error) {
        *error = failure->error();
    }
    return !failure;
}

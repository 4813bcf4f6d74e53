#include "application/editor/KBEPostUpdateAgent.h"

#include "common/VRNSpawn.h"

#include <cerrno>
#include <csignal>
#include <sys/wait.h>

KBEPostUpdateAgent::KBEPostUpdateAgent(std::string path) : _path(std::move(path)) {}

std::optional<pid_t> KBEPostUpdateAgent::launch(VRNError* error) {
    const char* const argv[] = {_path.c_str(), nullptr};
    pid_t pid = 0;
    if (!spawn_detached(argv, &pid, error)) {
        return std::nullopt;
    }
    return pid;
}

int KBEPostUpdateAgent::terminate(pid_t pid) {
    ::kill(pid, SIGTERM);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return 0;
        }
    }
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

#include "platform/socket/Peer.h"

#include "platform/socket/UnixSocket.h"

#include <sys/stat.h>

namespace sockets {

bool runsTrustedProgram(pid_t pid, int pidfd, const TrustedPrograms& trusted, std::string* why) {
    struct stat executable;
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    if (::stat(link.c_str(), &executable) != 0) {
        *why = "cannot resolve " + link;
        return false;
    }
    // The pid may have been reused between the connection and the look-up: the executable
    // counts only if the process that connected is still the one running.
    if (pidfd >= 0 && !processAlive(pidfd)) {
        *why = "the process ended during validation";
        return false;
    }
    for (const std::string& path : trusted.paths) {
        struct stat program;
        if (::stat(path.c_str(), &program) != 0 || program.st_dev != executable.st_dev ||
            program.st_ino != executable.st_ino) {
            continue;
        }
        if (program.st_uid != trusted.owner || (program.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
            *why = path + " is not owned by uid " + std::to_string(trusted.owner) +
                   " or is writable by others";
            return false;
        }
        return true;
    }
    *why = "the executable is not a trusted program";
    return false;
}

} // namespace sockets

#pragma once

// Unix stream sockets of the local services: listening (taken from systemd's socket
// activation or bound here), connecting, accepting, peer credentials and the descriptor
// limit. Every descriptor is non-blocking and close-on-exec.

#include "platform/files/Files.h"

#include <optional>
#include <string>
#include <sys/types.h>

namespace sockets {

// The listening socket named `name` (its FileDescriptorName=) among those systemd passed
// to this process, provided it is a listening Unix stream socket bound to `path`; invalid
// when there is none. The passed descriptors are read once per process (LISTEN_PID must
// name it) and the variables removed; a descriptor that fails the check is closed and
// `error` says why. Each name is handed out once.
files::Descriptor takeActivatedListener(const std::string& name, const std::string& path,
                                        std::string* error);

// A socket listening at `path`: its folder is created (root-owned, mode 0755, when this
// process is root), a stale socket left by an earlier process is replaced, and the socket
// gets mode 0666. Refuses a path where another process is listening. Invalid with `error`
// set on failure.
files::Descriptor listenAt(const std::string& path, std::string* error);

// A connected socket to `path`; invalid with errno in `number` (ENOENT: no socket,
// ECONNREFUSED: nobody listening).
files::Descriptor connectTo(const std::string& path, int* number);

// The next connection, or invalid with errno in `number` (EAGAIN when none is waiting,
// EMFILE/ENFILE when this process or the system is out of descriptors).
files::Descriptor acceptFrom(int listener, int* number);

struct Credentials {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};

// SO_PEERCRED of a connected socket; nullopt when the kernel does not say.
std::optional<Credentials> peerCredentials(int socket);

// A process descriptor of the socket's peer: SO_PEERPIDFD where the kernel has it (it names
// the process that connected even when its pid has been reused), else pidfd_open of `pid`.
// Invalid when neither works.
files::Descriptor peerProcess(int socket, pid_t pid);

// Whether the process of `pidfd` is still running.
bool processAlive(int pidfd);

// Raises the soft limit of open descriptors to the hard limit. The new soft limit, or
// nullopt when it could not be read.
std::optional<unsigned long> raiseDescriptorLimit();

} // namespace sockets

#pragma once

// Which programs may talk to a local service. The peer's executable, as the kernel links it
// in /proc/<pid>/exe, must be one of the trusted programs (same device and inode), and
// that program must be owned by the trusted owner and not writable by group or others.
//
// This is a filter against accidental and casual clients, not a security boundary: a user
// can make a trusted program run code of theirs. Everything that changes state is guarded
// by authorization rights on top of it.

#include <string>
#include <sys/types.h>
#include <vector>

namespace sockets {

struct TrustedPrograms {
    std::vector<std::string> paths;
    uid_t owner = 0;
};

// Whether the process `pid` (with `pidfd` referring to it, or -1) runs a trusted program.
// Fails closed: an unreadable executable link, a missing or badly owned trusted program,
// or a process that is gone by the time its executable was resolved is refused, with
// `why` saying which.
bool runsTrustedProgram(pid_t pid, int pidfd, const TrustedPrograms& trusted, std::string* why);

} // namespace sockets

#include "platform/socket/UnixSocket.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>
#include <utility>
#include <vector>

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

namespace sockets {

namespace {

bool addressFor(const std::string& path, sockaddr_un* address) {
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address->sun_path) {
        return false;
    }
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

std::string failure(const std::string& what, const std::string& path, int number) {
    return what + " " + path + ": " + std::strerror(number);
}

struct Activated {
    std::mutex mutex;
    bool read = false;
    std::vector<std::pair<std::string, int>> sockets;
};

Activated& activated() {
    static Activated* const shared = new Activated;
    return *shared;
}

} // namespace

files::Descriptor takeActivatedListener(const std::string& name, const std::string& path,
                                        std::string* error) {
    Activated& passed = activated();
    std::lock_guard guard(passed.mutex);
    if (!passed.read) {
        passed.read = true;
        char** names = nullptr;
        // sd_listen_fds_with_names checks LISTEN_PID itself and returns 0 when the
        // descriptors were meant for another process.
        const int count = sd_listen_fds_with_names(1, &names);
        for (int i = 0; i < count; ++i) {
            const int fd = SD_LISTEN_FDS_START + i;
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            passed.sockets.emplace_back(names && names[i] ? names[i] : "", fd);
        }
        if (names) {
            for (int i = 0; i < count; ++i) {
                std::free(names[i]);
            }
            std::free(names);
        }
    }
    for (auto it = passed.sockets.begin(); it != passed.sockets.end(); ++it) {
        if (it->first != name) {
            continue;
        }
        files::Descriptor fd(it->second);
        passed.sockets.erase(it);
        if (sd_is_socket_unix(fd.get(), SOCK_STREAM, 1, path.c_str(), 0) <= 0) {
            *error = "socket \"" + name +
                     "\" passed by systemd is not a listening stream "
                     "socket at " +
                     path;
            return {};
        }
        const int flags = ::fcntl(fd.get(), F_GETFL);
        ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK);
        return fd;
    }
    return {};
}

files::Descriptor listenAt(const std::string& path, std::string* error) {
    sockaddr_un address;
    if (!addressFor(path, &address)) {
        *error = "socket path too long: " + path;
        return {};
    }
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    std::error_code ignored;
    if (!std::filesystem::is_directory(folder, ignored)) {
        std::filesystem::create_directories(folder, ignored);
        if (::chmod(folder.c_str(), 0755) != 0) {
            *error = failure("cannot create folder", folder, errno);
            return {};
        }
        if (::geteuid() == 0 && ::chown(folder.c_str(), 0, 0) != 0) {
            *error = failure("cannot own folder", folder, errno);
            return {};
        }
    }
    struct stat existing;
    if (::lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            *error = "not a socket: " + path;
            return {};
        }
        int number = 0;
        if (connectTo(path, &number).valid()) {
            *error = "another process is listening at " + path;
            return {};
        }
        ::unlink(path.c_str());
    }
    files::Descriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        *error = failure("cannot create socket for", path, errno);
        return {};
    }
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        *error = failure("cannot bind", path, errno);
        return {};
    }
    if (::chmod(path.c_str(), 0666) != 0 || ::listen(fd.get(), SOMAXCONN) != 0) {
        *error = failure("cannot listen at", path, errno);
        ::unlink(path.c_str());
        return {};
    }
    return fd;
}

files::Descriptor connectTo(const std::string& path, int* number) {
    sockaddr_un address;
    if (!addressFor(path, &address)) {
        *number = ENAMETOOLONG;
        return {};
    }
    files::Descriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        *number = errno;
        return {};
    }
    int result;
    while ((result = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address),
                               sizeof address)) != 0 &&
           errno == EINTR) {
    }
    if (result != 0) {
        *number = errno;
        return {};
    }
    const int flags = ::fcntl(fd.get(), F_GETFL);
    ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK);
    return fd;
}

files::Descriptor acceptFrom(int listener, int* number) {
    int fd;
    while ((fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) < 0 &&
           (errno == EINTR || errno == ECONNABORTED)) {
    }
    if (fd < 0) {
        *number = errno;
    }
    return files::Descriptor(fd);
}

std::optional<Credentials> peerCredentials(int socket) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
        length != sizeof credentials || credentials.pid <= 0) {
        return std::nullopt;
    }
    return Credentials{credentials.pid, credentials.uid, credentials.gid};
}

files::Descriptor peerProcess(int socket, pid_t pid) {
    int pidfd = -1;
    socklen_t length = sizeof pidfd;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &length) == 0 && pidfd >= 0) {
        return files::Descriptor(pidfd);
    }
    return files::Descriptor(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}

bool processAlive(int pidfd) {
    return ::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0;
}

std::optional<unsigned long> raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return std::nullopt;
    }
    if (limit.rlim_cur < limit.rlim_max) {
        const rlim_t old = limit.rlim_cur;
        limit.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            limit.rlim_cur = old;
        }
    }
    return static_cast<unsigned long>(limit.rlim_cur);
}

} // namespace sockets

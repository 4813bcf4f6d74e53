// Starts a transport server the way systemd's socket activation would start the daemon:
// a listening socket on descriptor 3 with LISTEN_FDS, LISTEN_PID and LISTEN_FDNAMES set.
//   xpc_activation_child <expected path> <bound path> <name> <stream|datagram> <own|other>
// Prints its log lines and, after stopping the server, whether the socket file and the
// passed descriptor are still there.
#include "common/VRNQueue.h"
#include "common/VRNXPCServer.h"
#include "platform/syslog/SystemLog.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

class PrintingLog final : public systemlog::Backend {
public:
    void journal(int, std::string_view message, std::string_view, std::string_view) override {
        std::printf("log: %.*s\n", static_cast<int>(message.size()), message.data());
    }
    void syslog(int, std::string_view message) override {
        std::printf("log: %.*s\n", static_cast<int>(message.size()), message.data());
    }
};

class Nobody final : public VRNXPCServerDelegate {
    bool XPCServerShouldAcceptConnection(VRNXPCServer&,
                                         const std::shared_ptr<VRNXPCPeerConnection>&) override {
        return false;
    }
    void XPCServerHandleMessage(VRNXPCServer&, const VRNXPCMessage&,
                                const std::shared_ptr<VRNXPCPeerConnection>&) override {}
    void XPCServerPeerDidDisconnect(VRNXPCServer&,
                                    const std::shared_ptr<VRNXPCPeerConnection>&) override {}
};

ino_t inodeOf(int fd) {
    struct stat status;
    return ::fstat(fd, &status) == 0 ? status.st_ino : 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        return 2;
    }
    systemlog::setBackend(new PrintingLog);
    const std::string expected = argv[1], bound = argv[2];
    const bool stream = std::strcmp(argv[4], "stream") == 0;
    const int made = ::socket(AF_UNIX, stream ? SOCK_STREAM : SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, bound.c_str(), sizeof address.sun_path - 1);
    std::filesystem::create_directories(std::filesystem::path(bound).parent_path());
    if (made < 0 || ::bind(made, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        (stream && ::listen(made, 16) != 0) || ::dup2(made, 3) != 3) {
        std::printf("cannot make the socket: %s\n", std::strerror(errno));
        return 3;
    }
    if (made != 3) {
        ::close(made);
    }
    const ino_t passed = inodeOf(3);
    const pid_t owner = std::strcmp(argv[5], "own") == 0 ? ::getpid() : ::getpid() + 1;
    ::setenv("LISTEN_FDS", "1", 1);
    ::setenv("LISTEN_PID", std::to_string(owner).c_str(), 1);
    ::setenv("LISTEN_FDNAMES", argv[3], 1);

    VRNXPCServerOptions options;
    options.socketPath = expected;
    options.activationName = "scheduler";
    auto delegate = std::make_shared<Nobody>();
    auto server = std::make_shared<VRNXPCServer>("com.vornhal.keelbrook.scheduler", VRNQueueMain(),
                                                 delegate, options);
    if (!server->start()) {
        std::printf("not listening\n");
        return 1;
    }
    std::printf("environment %s\n", std::getenv("LISTEN_FDS") ? "kept" : "cleared");
    server->stop();
    // A socket the server bound itself is removed at stop; one systemd passed stays, and
    // the descriptor closes with the listener. A passed socket it did not take stays open.
    std::printf("socket file %s\n", std::filesystem::exists(expected) ? "kept" : "removed");
    std::printf("descriptor 3 %s\n",
                ::fcntl(3, F_GETFD) >= 0 && inodeOf(3) == passed ? "open" : "closed");
    std::fflush(stdout);
    return 0;
}

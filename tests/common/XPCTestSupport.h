#pragma once

// Helpers of the transport tests: a delegate that records and echoes, raw socket clients
// that speak (or break) the frames, and the process's open descriptors.

#include "common/VRNXPCServer.h"
#include "platform/socket/Frame.h"
#include "platform/socket/UnixSocket.h"
#include "tests/common/LogTestSupport.h"
#include "tests/support/Waiter.h"

#include <filesystem>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <vector>

namespace xpctest {

// Accepts (unless told not to) and answers every request with its own dictionary (unless
// told to hold them).
class RecordingDelegate final : public VRNXPCServerDelegate {
public:
    std::atomic<bool> accept{true};
    std::atomic<bool> answer{true};
    testsupport::Waiter accepted;
    testsupport::Waiter received;
    testsupport::Waiter disconnected;

    struct Held {
        VRNXPCMessage message;
        std::shared_ptr<VRNXPCPeerConnection> peer;
    };

    bool XPCServerShouldAcceptConnection(VRNXPCServer&,
                                         const std::shared_ptr<VRNXPCPeerConnection>&) override {
        const bool yes = accept;
        accepted.notify();
        return yes;
    }
    void XPCServerHandleMessage(VRNXPCServer&, const VRNXPCMessage& message,
                                const std::shared_ptr<VRNXPCPeerConnection>& peer) override {
        {
            std::lock_guard guard(mutex_);
            messages_.push_back(message);
            if (!answer) {
                held_.push_back({message, peer});
            }
        }
        if (answer) {
            peer->sendReply(message, message.dictionary);
        }
        received.notify();
    }
    void XPCServerPeerDidDisconnect(VRNXPCServer&,
                                    const std::shared_ptr<VRNXPCPeerConnection>& peer) override {
        {
            std::lock_guard guard(mutex_);
            disconnectedPeers_.push_back(peer->processIdentifier());
        }
        disconnected.notify();
    }

    std::vector<VRNXPCMessage> messages() {
        std::lock_guard guard(mutex_);
        return messages_;
    }
    std::vector<Held> takeHeld() {
        std::lock_guard guard(mutex_);
        return std::exchange(held_, {});
    }
    // The pids of the peers reported gone (a connection's address may be reused once it is
    // freed; a live child's pid is not).
    std::vector<pid_t> disconnectedPeers() {
        std::lock_guard guard(mutex_);
        return disconnectedPeers_;
    }

private:
    std::mutex mutex_;
    std::vector<VRNXPCMessage> messages_;
    std::vector<Held> held_;
    std::vector<pid_t> disconnectedPeers_;
};

inline std::size_t openDescriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

// Every system-log message recorded so far, kept across calls.
inline bool logged(const std::string& text) {
    static std::mutex mutex;
    static std::vector<std::string> seen;
    std::lock_guard guard(mutex);
    for (auto& entry : logtest::recorder().take()) {
        seen.push_back(entry.message);
    }
    for (const auto& message : seen) {
        if (message.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

inline std::vector<std::uint8_t> requestFrame(std::int64_t id, bool wantsReply,
                                              plist::Dictionary message) {
    std::string error;
    return *sockets::encodeFrame(plist::Value(plist::Dictionary{{"id", id},
                                                                {"wantsReply", wantsReply},
                                                                {"message", std::move(message)}}),
                                 &error);
}

// A client on a raw socket.
class RawClient {
public:
    explicit RawClient(const std::string& path) {
        int number = 0;
        socket_ = sockets::connectTo(path, &number);
    }
    bool connected() const { return socket_.valid(); }
    int fd() const { return socket_.get(); }

    // Writes all of `bytes`; false when the server closed the connection meanwhile.
    bool send(const std::vector<std::uint8_t>& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            pollfd room{socket_.get(), POLLOUT, 0};
            if (::poll(&room, 1, waitMilliseconds()) <= 0) {
                return false;
            }
            const ssize_t n =
                ::send(socket_.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return false;
            }
            sent += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        return true;
    }
    // The next frame from the server; nothing when the connection ended (or nothing came in
    // time).
    std::optional<plist::Value> receive() {
        for (;;) {
            plist::Value value(false);
            std::string error;
            if (reader_.next(&value, &error) == sockets::FrameReader::Status::Frame) {
                return value;
            }
            if (!readSome()) {
                return std::nullopt;
            }
        }
    }
    // Whether the server ends the connection (reading and dropping anything before the end).
    bool closedByServer() {
        for (;;) {
            pollfd ready{socket_.get(), POLLIN, 0};
            if (::poll(&ready, 1, waitMilliseconds()) <= 0) {
                return false;
            }
            std::uint8_t chunk[4096];
            const ssize_t n = ::recv(socket_.get(), chunk, sizeof chunk, 0);
            if (n == 0 || (n < 0 && errno == ECONNRESET)) {
                return true;
            }
        }
    }

private:
    static int waitMilliseconds() {
        return static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(testsupport::kWaitLimit).count());
    }
    bool readSome() {
        pollfd ready{socket_.get(), POLLIN, 0};
        if (::poll(&ready, 1, waitMilliseconds()) <= 0) {
            return false;
        }
        std::uint8_t chunk[64 * 1024];
        const ssize_t n = ::recv(socket_.get(), chunk, sizeof chunk, 0);
        if (n < 0 && errno == EAGAIN) {
            return true;
        }
        if (n <= 0) {
            return false;
        }
        reader_.append(std::span(chunk, static_cast<std::size_t>(n)));
        return true;
    }

    files::Descriptor socket_;
    sockets::FrameReader reader_;
};

} // namespace xpctest

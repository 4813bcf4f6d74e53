#include "common/VRNXPCClient.h"

#include "common/VRNEnvironment.h"
#include "common/VRNLog.h"
#include "common/VRNQueue.h"
#include "platform/paths/Paths.h"
#include "platform/socket/UnixSocket.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <optional>
#include <poll.h>
#include <sys/socket.h>

namespace {

// Writes all of `bytes`, waiting for room when the socket is full. False when the
// connection broke.
bool writeFrame(int fd, const std::vector<std::uint8_t>& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n >= 0) {
            sent += static_cast<std::size_t>(n);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd room{fd, POLLOUT, 0};
            ::poll(&room, 1, -1);
        } else if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

} // namespace

// MARK: - Connection

VRNXPCClientConnection::VRNXPCClientConnection(std::string socketPath, dispatch::QueuePtr events,
                                               ErrorHandler errorHandler)
    : _socketPath(std::move(socketPath)), _events(std::move(events)),
      _errorHandler(std::move(errorHandler)) {}

void VRNXPCClientConnection::send(plist::Dictionary message, VRNXPCReplyHandler handler) {
    const bool wantsReply = static_cast<bool>(handler);
    std::string error;
    std::optional<std::vector<std::uint8_t>> bytes;
    // A connection the service has already closed takes no request: the request goes out on
    // a new one. So does a request whose frame could not be written (the service never
    // dispatches a partial frame). A second failure is the request's.
    for (int attempt = 0;; ++attempt) {
        std::unique_lock writing(_writeLock);
        std::unique_lock state(_stateLock);
        if (_socket.valid() && attempt == 0) {
            pollfd hangUp{_socket.get(), POLLRDHUP, 0};
            if (::poll(&hangUp, 1, 0) > 0 && (hangUp.revents & (POLLRDHUP | POLLHUP)) != 0) {
                state.unlock();
                writing.unlock();
                _ended(VRNXPCError::ConnectionInterrupted, true);
                attempt = -1;
                continue;
            }
        }
        bool unreachable = _invalid;
        if (!_invalid && !_socket.valid()) {
            int number = 0;
            _socket = sockets::connectTo(_socketPath, &number);
            if (_socket.valid()) {
                _reader = sockets::FrameReader();
                std::weak_ptr<VRNXPCClientConnection> weak = weak_from_this();
                _source = dispatch::ReadSource::create(_socket.get(), _events, [weak] {
                    if (auto self = weak.lock()) {
                        self->_readAvailable();
                    }
                });
            }
            if (!_socket.valid() || !_source) {
                _socket.reset();
                _invalid = unreachable = true;
            }
        }
        if (unreachable) {
            state.unlock();
            writing.unlock();
            if (handler) {
                handler(VRNXPCError::ConnectionInvalid);
            }
            _errorHandler(VRNXPCError::ConnectionInvalid);
            return;
        }
        const std::uint64_t identifier = _nextIdentifier++;
        plist::Dictionary frame;
        frame.emplace(kVRNXPCFrameIdentifierKey, static_cast<std::int64_t>(identifier));
        frame.emplace(kVRNXPCFrameWantsReplyKey, wantsReply);
        frame.emplace(kVRNXPCFrameMessageKey, message);
        bytes = sockets::encodeFrame(plist::Value(std::move(frame)), &error);
        if (!bytes) {
            state.unlock();
            writing.unlock();
            VRNLog(VRNLogLevelError, "Could not send message to %@: %@.", _socketPath, error);
            if (handler) {
                handler(VRNXPCError::ConnectionInvalid);
            }
            return;
        }
        if (wantsReply) {
            _pending.emplace(identifier, std::move(handler));
        }
        const int fd = _socket.get();
        state.unlock();
        const bool written = writeFrame(fd, *bytes);
        writing.unlock();
        // The request may carry a password.
        ::explicit_bzero(bytes->data(), bytes->size());
        if (written) {
            return;
        }
        if (wantsReply) {
            std::unique_lock taking(_stateLock);
            auto found = _pending.find(identifier);
            if (found == _pending.end()) {
                // The connection's end reached the request first and answered it.
                return;
            }
            handler = std::move(found->second);
            _pending.erase(found);
        }
        _ended(VRNXPCError::ConnectionInterrupted, true);
        if (attempt > 0) {
            if (handler) {
                handler(VRNXPCError::ConnectionInterrupted);
            }
            return;
        }
    }
}

void VRNXPCClientConnection::cancel() {
    {
        std::lock_guard state(_stateLock);
        _invalid = true;
    }
    _ended(VRNXPCError::ConnectionInvalid, false);
}

void VRNXPCClientConnection::_readAvailable() {
    for (;;) {
        std::uint8_t chunk[64 * 1024];
        ssize_t n;
        {
            std::lock_guard state(_stateLock);
            // While the connection is being ended, the hang-up seen is its own shutdown.
            if (!_socket.valid() || _ending) {
                return;
            }
            n = ::recv(_socket.get(), chunk, std::min(sizeof chunk, _reader.wanted()), 0);
            if (n > 0) {
                _reader.append(std::span(chunk, static_cast<std::size_t>(n)));
                ::explicit_bzero(chunk, static_cast<std::size_t>(n));
            }
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        }
        if (n <= 0) {
            _ended(VRNXPCError::ConnectionInterrupted, true);
            return;
        }
        for (;;) {
            plist::Value frame(false);
            std::string error;
            VRNXPCReplyHandler handler;
            sockets::FrameReader::Status status;
            {
                std::lock_guard state(_stateLock);
                status = _reader.next(&frame, &error);
                const plist::Value* identifier = frame.find(kVRNXPCFrameIdentifierKey);
                const plist::Value* message = frame.find(kVRNXPCFrameMessageKey);
                if (status == sockets::FrameReader::Status::Frame) {
                    if (!identifier || !identifier->isInteger() || !message ||
                        !message->isDictionary()) {
                        status = sockets::FrameReader::Status::Bad;
                        error = "the frame is not a reply";
                    } else if (auto found = _pending.find(
                                   static_cast<std::uint64_t>(*identifier->asInteger()));
                               found != _pending.end()) {
                        handler = std::move(found->second);
                        _pending.erase(found);
                    }
                }
            }
            if (status == sockets::FrameReader::Status::NeedMore) {
                break;
            }
            if (status == sockets::FrameReader::Status::Bad) {
                VRNLog(VRNLogLevelError, "Closed connection with server: %@.", error);
                _ended(VRNXPCError::ConnectionInterrupted, true);
                return;
            }
            // Unsolicited messages and replies nobody waits for are ignored.
            if (handler) {
                handler(*frame.find(kVRNXPCFrameMessageKey)->asDictionary());
            }
        }
    }
}

void VRNXPCClientConnection::_ended(VRNXPCError pendingError, bool report) {
    std::unique_ptr<dispatch::ReadSource> source;
    {
        std::lock_guard state(_stateLock);
        if (!_socket.valid()) {
            return;
        }
        // Wakes a writer waiting for room, so that the write lock comes free.
        ::shutdown(_socket.get(), SHUT_RDWR);
        _ending = true;
        source = std::move(_source);
    }
    if (source) {
        source->cancel();
    }
    std::map<std::uint64_t, VRNXPCReplyHandler> pending;
    {
        std::lock_guard writing(_writeLock);
        std::lock_guard state(_stateLock);
        _socket.reset();
        _ending = false;
        _reader = sockets::FrameReader();
        pending = std::move(_pending);
        _pending.clear();
    }
    for (auto& [identifier, handler] : pending) {
        handler(pendingError);
    }
    if (report) {
        _errorHandler(pendingError);
    }
}

// MARK: - Client

VRNXPCClient::VRNXPCClient(const std::string& serviceName)
    : VRNXPCClient(serviceName, paths::locate(VRNXPCSocketProductPath(serviceName),
                                              VRNEnvironment::shared().installationRoot)) {}

VRNXPCClient::VRNXPCClient(const std::string& serviceName, std::string socketPath)
    : _internalLock(serviceName), _serviceName(serviceName), _socketPath(std::move(socketPath)),
      _events(dispatch::SerialQueue::create(serviceName + ".connection")) {}

VRNXPCClient::~VRNXPCClient() {
    // No one else can reach the client now, so its connection is taken without the lock.
    if (_connection) {
        _connection->cancel();
    }
}

std::shared_ptr<VRNXPCClientConnection> VRNXPCClient::connection() {
    return _internalLock.sync([&] {
        if (!_connection) {
            _connection = _makeConnection();
        }
        return _connection;
    });
}

std::shared_ptr<VRNXPCClientConnection> VRNXPCClient::_makeConnection() {
    // The connection reports its failures to the client that made it, naming itself.
    std::weak_ptr<VRNXPCClient> weakClient = weak_from_this();
    auto self = std::make_shared<std::weak_ptr<VRNXPCClientConnection>>();
    auto made = std::make_shared<VRNXPCClientConnection>(
        _socketPath, _events, [weakClient, self](VRNXPCError error) {
            if (auto client = weakClient.lock()) {
                client->_handleConnectionError(error, *self);
            }
        });
    *self = made;
    return made;
}

void VRNXPCClient::_handleConnectionError(VRNXPCError error,
                                          const std::weak_ptr<VRNXPCClientConnection>& connection) {
    if (error == VRNXPCError::ConnectionInvalid) {
        VRNLog(VRNLogLevelError, "Connection became invalid with server.");
        // Dropped, not cancelled: the next send builds a fresh connection.
        _internalLock.sync([&] {
            if (_connection && _connection == connection.lock()) {
                _connection.reset();
            }
        });
    } else {
        VRNLog(VRNLogLevelDebug, "Connection interrupted with server.");
    }
}

void VRNXPCClient::sendXPCMessage(plist::Dictionary message) {
    connection()->send(std::move(message), nullptr);
}

void VRNXPCClient::sendXPCMessage(plist::Dictionary message, dispatch::QueuePtr queue,
                                  VRNXPCReplyHandler replyHandler) {
    if (!queue) {
        queue = VRNQueueMain();
    }
    connection()->send(
        std::move(message),
        [queue = std::move(queue), replyHandler = std::move(replyHandler)](VRNXPCReply reply) {
            queue->async([replyHandler, reply = std::move(reply)] { replyHandler(reply); });
        });
}

VRNXPCReply VRNXPCClient::sendSynchronousXPCMessage(plist::Dictionary message) {
    struct Outcome {
        std::mutex mutex;
        std::condition_variable arrived;
        std::optional<VRNXPCReply> reply;
    };
    auto outcome = std::make_shared<Outcome>();
    connection()->send(std::move(message), [outcome](VRNXPCReply reply) {
        {
            std::lock_guard guard(outcome->mutex);
            outcome->reply = std::move(reply);
        }
        outcome->arrived.notify_all();
    });
    std::unique_lock guard(outcome->mutex);
    outcome->arrived.wait(guard, [&] { return outcome->reply.has_value(); });
    return std::move(*outcome->reply);
}

void VRNXPCClient::cancel() {
    std::shared_ptr<VRNXPCClientConnection> dropped;
    _internalLock.sync([&] { dropped = std::move(_connection); });
    if (dropped) {
        dropped->cancel();
    }
}

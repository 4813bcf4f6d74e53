#include "common/VRNXPCServer.h"

#include "common/VRNEnvironment.h"
#include "common/VRNLog.h"
#include "common/VRNQueue.h"
#include "platform/paths/Paths.h"
#include "platform/socket/UnixSocket.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Bytes read from one peer per turn on the queue, so that a flooding peer cannot keep the
// others waiting.
constexpr std::size_t kReadPerTurn = 256 * 1024;
// Connections accepted per turn, for the same reason.
constexpr int kAcceptsPerTurn = 64;
// While accepting is paused for want of descriptors, it is tried again when a peer closes,
// and at this interval in case descriptors are freed elsewhere in the process.
constexpr auto kAcceptRetry = std::chrono::seconds(1);

// The programs of the installation that talk to the daemon.
constexpr const char* kTrustedProductPaths[] = {
    "/Library/Keelbrook/kbectl",
    "/Applications/Keelbrook.app",
    "/Library/Keelbrook/com.vornhal.keelbrook.post-update",
    "/Library/Keelbrook/com.vornhal.keelbrook.upgrader",
};

} // namespace

VRNXPCServerOptions VRNXPCServerOptions::forService(const std::string& serviceName,
                                                    const std::string& installationRoot) {
    VRNXPCServerOptions options;
    options.socketPath = paths::locate(VRNXPCSocketProductPath(serviceName), installationRoot);
    options.activationName = VRNXPCSocketName(serviceName);
    for (const char* program : kTrustedProductPaths) {
        options.trustedPrograms.paths.push_back(paths::locate(program, installationRoot));
    }
    options.trustedPrograms.owner = 0;
    return options;
}

// MARK: - Peer connection

VRNXPCPeerConnection::VRNXPCPeerConnection(files::Descriptor socket, pid_t pid, uid_t uid,
                                           std::weak_ptr<VRNXPCServer> server)
    : _pid(pid), _uid(uid), _server(std::move(server)), _socket(std::move(socket)) {}

bool VRNXPCPeerConnection::sendReply(const VRNXPCMessage& request, plist::Dictionary reply) {
    std::size_t requestBytes = 0;
    {
        std::lock_guard guard(_ioLock);
        auto awaiting = _awaitingReply.find(request.identifier);
        if (!request.wantsReply || awaiting == _awaitingReply.end() || !_socket.valid()) {
            return false;
        }
        requestBytes = awaiting->second;
        _awaitingReply.erase(awaiting);
    }
    auto server = _server.lock();
    if (!server) {
        return false;
    }
    server->_addBufferedBytes(_uid, -static_cast<std::ptrdiff_t>(requestBytes));
    plist::Dictionary frame;
    frame.emplace(kVRNXPCFrameIdentifierKey, static_cast<std::int64_t>(request.identifier));
    frame.emplace(kVRNXPCFrameMessageKey, std::move(reply));
    std::string error;
    auto bytes = sockets::encodeFrame(plist::Value(std::move(frame)), &error);
    if (!bytes) {
        VRNLog(VRNLogLevelError, "Could not send reply to peer %d: %@.", _pid, error);
        server->_closePeer(shared_from_this(), error);
        return false;
    }
    if (!_queueOutput(std::move(*bytes))) {
        server->_closePeer(shared_from_this(), "it does not read its replies");
        return false;
    }
    return true;
}

bool VRNXPCPeerConnection::_queueOutput(std::vector<std::uint8_t> frame) {
    std::lock_guard guard(_ioLock);
    if (!_socket.valid()) {
        return false;
    }
    std::size_t sent = 0;
    if (_output.size() == _outputSent) {
        _output.clear();
        _outputSent = 0;
        while (sent < frame.size()) {
            const ssize_t n = ::send(_socket.get(), frame.data() + sent, frame.size() - sent,
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK) {
                    // The peer is gone; its end is seen by the reading side.
                    return true;
                }
                break;
            }
            sent += static_cast<std::size_t>(n);
        }
        if (sent == frame.size()) {
            return true;
        }
    }
    auto server = _server.lock();
    if (!server) {
        return false;
    }
    _output.insert(_output.end(), frame.begin() + static_cast<std::ptrdiff_t>(sent), frame.end());
    if (_output.size() - _outputSent > server->_options.maxPendingOutputPerPeer) {
        return false;
    }
    if (!_writeSource) {
        _writeWatch.reset(::fcntl(_socket.get(), F_DUPFD_CLOEXEC, 0));
        std::weak_ptr<VRNXPCPeerConnection> weak = weak_from_this();
        _writeSource = dispatch::ReadSource::create(
            _writeWatch.get(), server->_queue,
            [weak] {
                if (auto self = weak.lock()) {
                    self->_flush();
                }
            },
            dispatch::ReadSource::Readiness::Writable);
        if (!_writeSource) {
            _writeWatch.reset();
            return false;
        }
    }
    return true;
}

void VRNXPCPeerConnection::_flush() {
    std::lock_guard guard(_ioLock);
    while (_socket.valid() && _outputSent < _output.size()) {
        const ssize_t n = ::send(_socket.get(), _output.data() + _outputSent,
                                 _output.size() - _outputSent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        }
        if (n < 0) {
            break; // gone: the reading side ends the connection
        }
        _outputSent += static_cast<std::size_t>(n);
    }
    _output.clear();
    _outputSent = 0;
    _writeSource.reset();
    _writeWatch.reset();
}

void VRNXPCPeerConnection::cancel() {
    auto server = _server.lock();
    {
        std::lock_guard guard(_ioLock);
        if (_socket.valid()) {
            // Wakes the reading side, which ends the connection on the server's queue.
            ::shutdown(_socket.get(), SHUT_RDWR);
        }
    }
    if (server) {
        // Kept alive until then: after stop() nothing else may hold the connection, and its
        // end must still reach the delegate.
        server->_queue->async([self = shared_from_this()] { self->_invalidate(); });
    }
}

void VRNXPCPeerConnection::_readAvailable() {
    auto server = _server.lock();
    if (!server || _invalidated) {
        return;
    }
    auto self = shared_from_this();
    std::size_t readThisTurn = 0;
    bool ended = false;
    while (readThisTurn < kReadPerTurn) {
        std::uint8_t chunk[64 * 1024];
        ssize_t n;
        {
            std::lock_guard guard(_ioLock);
            if (!_socket.valid()) {
                ended = true;
                break;
            }
            n = ::recv(_socket.get(), chunk, std::min(sizeof chunk, _reader.wanted()), 0);
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        if (n <= 0) {
            ended = true;
            break;
        }
        readThisTurn += static_cast<std::size_t>(n);
        _reader.append(std::span(chunk, static_cast<std::size_t>(n)));
        ::explicit_bzero(chunk, static_cast<std::size_t>(n));
        for (;;) {
            plist::Value frame(false);
            std::string error;
            const auto status = _reader.next(&frame, &error);
            if (status == sockets::FrameReader::Status::NeedMore) {
                break;
            }
            if (status == sockets::FrameReader::Status::Bad) {
                server->_closePeer(self, error);
                return;
            }
            server->_handleFrame(self, std::move(frame), _reader.lastFrameLength());
            if (_invalidated) {
                return;
            }
        }
        const std::ptrdiff_t delta = static_cast<std::ptrdiff_t>(_reader.buffered()) -
                                     static_cast<std::ptrdiff_t>(_partialBytes);
        _partialBytes = _reader.buffered();
        if (!server->_addBufferedBytes(_uid, delta)) {
            server->_closePeer(self, "its user is over the cap of buffered request bytes");
            return;
        }
    }
    // Data left unread makes the re-armed source run the handler again, after the other
    // work waiting on the queue.
    if (ended) {
        server->_handleConnectionError(VRNXPCError::ConnectionInvalid, self);
    }
}

void VRNXPCPeerConnection::_invalidate() {
    if (_invalidated) {
        return;
    }
    _invalidated = true;
    if (_readSource) {
        _readSource->cancel();
    }
    std::size_t held = _partialBytes;
    {
        std::lock_guard guard(_ioLock);
        _writeSource.reset();
        _writeWatch.reset();
        _socket.reset();
        _output.clear();
        _outputSent = 0;
        for (const auto& [identifier, bytes] : _awaitingReply) {
            held += bytes;
        }
        _awaitingReply.clear();
    }
    _partialBytes = 0;
    auto server = _server.lock();
    if (!server) {
        return;
    }
    auto self = shared_from_this();
    server->_lock.sync([&] {
        if (_counted) {
            if (auto usage = server->_usage.find(_uid); usage != server->_usage.end()) {
                usage->second.connections -= 1;
                usage->second.bufferedBytes -= std::min(usage->second.bufferedBytes, held);
                if (usage->second.connections == 0) {
                    server->_usage.erase(usage);
                }
            }
        }
        auto& peers = server->_peers;
        for (auto it = peers.begin(); it != peers.end(); ++it) {
            if (it->get() == this) {
                peers.erase(it);
                break;
            }
        }
    });
    if (_accepted) {
        VRNLog(VRNLogLevelDebug, "Connection became invalid with peer %d.", _pid);
        if (auto delegate = server->_lockedDelegate()) {
            delegate->XPCServerPeerDidDisconnect(*server, self);
        }
    }
    server->_resumeAccepting();
}

// MARK: - Server

VRNXPCServer::VRNXPCServer(const std::string& serviceName, dispatch::QueuePtr queue,
                           std::weak_ptr<VRNXPCServerDelegate> delegate)
    : VRNXPCServer(serviceName, std::move(queue), std::move(delegate),
                   VRNXPCServerOptions::forService(serviceName,
                                                   VRNEnvironment::shared().installationRoot)) {}

VRNXPCServer::VRNXPCServer(const std::string& serviceName, dispatch::QueuePtr queue,
                           std::weak_ptr<VRNXPCServerDelegate> delegate,
                           VRNXPCServerOptions options)
    : _queue(VRNQueueCreate(serviceName.c_str(), std::move(queue))), _lock(serviceName + ".lock"),
      _delegate(std::move(delegate)), _serviceName(serviceName), _options(std::move(options)) {}

VRNXPCServer::~VRNXPCServer() {
    if (_connection) {
        _connection->source.reset();
        if (_connection->bound) {
            ::unlink(_options.socketPath.c_str());
        }
    }
}

bool VRNXPCServer::start() {
    std::string failure;
    const bool listening = _lock.sync([&] {
        if (_connection) {
            return true;
        }
        sockets::raiseDescriptorLimit();
        auto listener = std::make_unique<Listener>();
        std::string activationError;
        listener->socket = sockets::takeActivatedListener(_options.activationName,
                                                          _options.socketPath, &activationError);
        if (!listener->socket.valid()) {
            if (!activationError.empty()) {
                failure = activationError + "; binding it instead";
            }
            std::string error;
            listener->socket = sockets::listenAt(_options.socketPath, &error);
            if (!listener->socket.valid()) {
                failure = error;
                return false;
            }
            listener->bound = true;
        }
        std::weak_ptr<VRNXPCServer> weak = weak_from_this();
        listener->source = dispatch::ReadSource::create(listener->socket.get(), _queue, [weak] {
            if (auto self = weak.lock()) {
                self->_acceptAvailable();
            }
        });
        if (!listener->source) {
            failure = std::string("cannot watch the socket: ") + std::strerror(errno);
            return false;
        }
        _connection = std::move(listener);
        return true;
    });
    if (!failure.empty()) {
        VRNLog(listening ? VRNLogLevelDefault : VRNLogLevelError, "Could not listen for %@: %@.",
               _serviceName, failure);
    }
    return listening;
}

void VRNXPCServer::stop() {
    std::vector<std::shared_ptr<VRNXPCPeerConnection>> peers;
    std::unique_ptr<Listener> listener;
    _lock.sync([&] {
        if (!_connection) {
            return;
        }
        listener = std::move(_connection);
        peers = std::move(_peers);
        _peers.clear();
    });
    if (!listener) {
        return;
    }
    listener->source.reset();
    if (listener->bound) {
        ::unlink(_options.socketPath.c_str());
    }
    listener.reset();
    for (const auto& peer : peers) {
        peer->cancel();
    }
}

std::size_t VRNXPCServer::peerCount() {
    return _lock.sync([&] { return _peers.size(); });
}

void VRNXPCServer::_acceptAvailable() {
    for (int i = 0; i < kAcceptsPerTurn; ++i) {
        int listener = -1;
        _lock.sync([&] {
            if (_connection && !_connection->paused) {
                listener = _connection->socket.get();
            }
        });
        if (listener < 0) {
            return;
        }
        int number = 0;
        files::Descriptor socket = sockets::acceptFrom(listener, &number);
        if (!socket.valid()) {
            if (number == EMFILE || number == ENFILE) {
                _pauseAccepting(number);
            }
            return;
        }
        _handleConnection(std::move(socket));
    }
}

void VRNXPCServer::_pauseAccepting(int number) {
    const bool paused = _lock.sync([&] {
        if (!_connection || _connection->paused) {
            return false;
        }
        _connection->paused = true;
        _connection->source.reset();
        return true;
    });
    if (!paused) {
        return;
    }
    VRNLog(VRNLogLevelError, "Accepting connections for %@ paused: %s.", _serviceName,
           std::strerror(number));
    std::weak_ptr<VRNXPCServer> weak = weak_from_this();
    dispatch::after(std::chrono::duration_cast<dispatch::Duration>(kAcceptRetry), _queue, [weak] {
        if (auto self = weak.lock()) {
            self->_resumeAccepting();
        }
    });
}

void VRNXPCServer::_resumeAccepting() {
    const bool resumed = _lock.sync([&] {
        if (!_connection || !_connection->paused) {
            return false;
        }
        std::weak_ptr<VRNXPCServer> weak = weak_from_this();
        _connection->source =
            dispatch::ReadSource::create(_connection->socket.get(), _queue, [weak] {
                if (auto self = weak.lock()) {
                    self->_acceptAvailable();
                }
            });
        _connection->paused = _connection->source == nullptr;
        return !_connection->paused;
    });
    if (resumed) {
        VRNLog(VRNLogLevelDefault, "Accepting connections for %@ resumed.", _serviceName);
    }
}

bool VRNXPCServer::validatePeer(const VRNXPCPeerConnection& connection, int pidfd) {
    std::string why;
    const bool valid =
        connection._pid > 0 &&
        sockets::runsTrustedProgram(connection._pid, pidfd, _options.trustedPrograms, &why);
    if (!valid) {
        VRNLog(VRNLogLevelDebug, "Peer %d refused: %@.", connection._pid,
               why.empty() ? std::string("no peer credentials") : why);
    }
    return valid;
}

void VRNXPCServer::_handleConnection(files::Descriptor socket) {
    // Without credentials the peer cannot be validated: it is refused.
    const auto credentials = sockets::peerCredentials(socket.get());
    const pid_t pid = credentials ? credentials->pid : 0;
    const uid_t uid = credentials ? credentials->uid : static_cast<uid_t>(-1);
    files::Descriptor pidfd =
        credentials ? sockets::peerProcess(socket.get(), pid) : files::Descriptor();
    const int fd = socket.get();
    auto peer =
        std::make_shared<VRNXPCPeerConnection>(std::move(socket), pid, uid, weak_from_this());
    if (!credentials || !validatePeer(*peer, pidfd.get())) {
        VRNLog(VRNLogLevelError, "Failed to validate peer %d.", pid);
        peer->_invalidate();
        return;
    }
    pidfd.reset();
    const bool underCap = _lock.sync([&] {
        auto found = _usage.find(uid);
        return found == _usage.end() || found->second.connections < _options.maxConnectionsPerUser;
    });
    if (!underCap) {
        VRNLog(VRNLogLevelError, "Too many connections from uid %u, closed peer %d.",
               static_cast<unsigned>(uid), pid);
        peer->_invalidate();
        return;
    }
    auto delegate = _lockedDelegate();
    if (!delegate || !delegate->XPCServerShouldAcceptConnection(*this, peer)) {
        peer->_invalidate();
        return;
    }
    // From here on the delegate hears of the connection's end, whatever happens next.
    peer->_accepted = true;
    std::weak_ptr<VRNXPCPeerConnection> weak = peer;
    peer->_readSource = dispatch::ReadSource::create(fd, _queue, [weak] {
        if (auto self = weak.lock()) {
            self->_readAvailable();
        }
    });
    if (!peer->_readSource) {
        peer->_invalidate();
        return;
    }
    const bool added = _lock.sync([&] {
        if (!_connection) {
            return false; // stopped meanwhile
        }
        peer->_counted = true;
        _peers.push_back(peer);
        _usage[uid].connections += 1;
        return true;
    });
    if (!added) {
        peer->_invalidate();
    }
}

void VRNXPCServer::_handleConnectionError(VRNXPCError error,
                                          const std::shared_ptr<VRNXPCPeerConnection>& peer) {
    if (error == VRNXPCError::ConnectionInvalid) {
        peer->_invalidate();
    }
}

void VRNXPCServer::_closePeer(const std::shared_ptr<VRNXPCPeerConnection>& peer,
                              const std::string& why) {
    VRNLog(VRNLogLevelError, "Closed connection with peer %d: %@.", peer->_pid, why);
    if (_queue->isCurrent()) {
        peer->_invalidate();
    } else {
        peer->cancel();
    }
}

bool VRNXPCServer::_addBufferedBytes(uid_t uid, std::ptrdiff_t delta) {
    return _lock.sync([&] {
        auto found = _usage.find(uid);
        if (found == _usage.end()) {
            return delta <= 0;
        }
        auto& buffered = found->second.bufferedBytes;
        if (delta < 0) {
            buffered -= std::min(buffered, static_cast<std::size_t>(-delta));
            return true;
        }
        buffered += static_cast<std::size_t>(delta);
        return buffered <= _options.maxBufferedBytesPerUser;
    });
}

void VRNXPCServer::_handleFrame(const std::shared_ptr<VRNXPCPeerConnection>& peer,
                                plist::Value frame, std::size_t length) {
    const auto* dictionary = frame.asDictionary();
    const plist::Value* identifier = dictionary ? frame.find(kVRNXPCFrameIdentifierKey) : nullptr;
    const plist::Value* wantsReply = dictionary ? frame.find(kVRNXPCFrameWantsReplyKey) : nullptr;
    const plist::Value* message = dictionary ? frame.find(kVRNXPCFrameMessageKey) : nullptr;
    if (!identifier || !identifier->isInteger() || *identifier->asInteger() < 0 || !wantsReply ||
        !wantsReply->isBoolean() || !message || !message->isDictionary()) {
        _closePeer(peer, "the frame is not a request");
        return;
    }
    VRNXPCMessage request;
    request.identifier = static_cast<std::uint64_t>(*identifier->asInteger());
    request.wantsReply = *wantsReply->asBoolean();
    request.dictionary = *message->asDictionary();
    if (request.wantsReply) {
        bool added;
        {
            std::lock_guard guard(peer->_ioLock);
            added = peer->_awaitingReply.emplace(request.identifier, length).second;
        }
        if (!added) {
            // Two outstanding requests under one id could not be told apart.
            _closePeer(peer, "a request id was reused");
            return;
        }
        if (!_addBufferedBytes(peer->_uid, static_cast<std::ptrdiff_t>(length))) {
            _closePeer(peer, "its user is over the cap of buffered request bytes");
            return;
        }
    }
    if (auto delegate = _lockedDelegate()) {
        delegate->XPCServerHandleMessage(*this, request, peer);
    }
}

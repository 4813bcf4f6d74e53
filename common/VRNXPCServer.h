#pragma once

// The daemon's side of a local service: a listening Unix socket (taken from systemd's
// socket activation or bound here) and the accepted peer connections. Every listener and
// peer event runs on `_queue`, which targets the owner's queue, so message handling is
// serialised with the rest of the owner's work.

#include "common/VRNXPCObject.h"
#include "platform/dispatch/LockQueue.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Source.h"
#include "platform/files/Files.h"
#include "platform/socket/Frame.h"
#include "platform/socket/Peer.h"

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

class VRNXPCServer;

// One accepted client connection. Replies may be sent from any thread.
class VRNXPCPeerConnection : public std::enable_shared_from_this<VRNXPCPeerConnection> {
public:
    pid_t processIdentifier() const { return _pid; }
    uid_t userIdentifier() const { return _uid; }

    // Sends `reply` for `request`. False (nothing sent) when the request asked for no
    // reply, was answered already, or the connection has ended.
    bool sendReply(const VRNXPCMessage& request, plist::Dictionary reply);

    // Ends the connection. An accepted connection then reports its end to the server's
    // delegate once, on the server's queue.
    void cancel();

    VRNXPCPeerConnection(files::Descriptor socket, pid_t pid, uid_t uid,
                         std::weak_ptr<VRNXPCServer> server);

private:
    friend class VRNXPCServer;

    void _readAvailable();
    void _flush();
    void _invalidate();
    bool _queueOutput(std::vector<std::uint8_t> frame);

    const pid_t _pid;
    const uid_t _uid;
    const std::weak_ptr<VRNXPCServer> _server;
    sockets::FrameReader _reader;
    std::unique_ptr<dispatch::ReadSource> _readSource;
    // On _queue only: the delegate accepted it (its end is reported), it counts toward its
    // user's cap, it has ended.
    bool _accepted = false;
    bool _counted = false;
    bool _invalidated = false;
    // Guards the descriptor, output, the write source and the requests awaiting a reply.
    std::mutex _ioLock;
    files::Descriptor _socket;
    std::vector<std::uint8_t> _output;
    std::size_t _outputSent = 0;
    // Room to write is watched on a duplicate of the socket (one descriptor cannot be
    // registered twice), only while output is waiting.
    files::Descriptor _writeWatch;
    std::unique_ptr<dispatch::ReadSource> _writeSource;
    std::map<std::uint64_t, std::size_t> _awaitingReply; // request id -> its frame's size
    std::size_t _partialBytes = 0;                       // counted toward the uid's cap
};

class VRNXPCServerDelegate {
public:
    virtual ~VRNXPCServerDelegate() = default;
    virtual bool
    XPCServerShouldAcceptConnection(VRNXPCServer& server,
                                    const std::shared_ptr<VRNXPCPeerConnection>& connection) = 0;
    virtual void XPCServerHandleMessage(VRNXPCServer& server, const VRNXPCMessage& message,
                                        const std::shared_ptr<VRNXPCPeerConnection>& peer) = 0;
    virtual void XPCServerPeerDidDisconnect(VRNXPCServer& server,
                                            const std::shared_ptr<VRNXPCPeerConnection>& peer) = 0;
};

// Where the server listens, whom it admits and how much one user may hold.
struct VRNXPCServerOptions {
    std::string socketPath;     // the Linux location of the socket
    std::string activationName; // the descriptor's name under socket activation
    sockets::TrustedPrograms trustedPrograms;
    std::size_t maxConnectionsPerUser = 1024;
    // Request bytes received and not yet answered (partial frames and requests awaiting
    // their reply) of all of one user's connections.
    std::size_t maxBufferedBytesPerUser = std::size_t{16} << 20;
    // Reply bytes a peer has not read yet; a peer that stops reading is closed past it.
    std::size_t maxPendingOutputPerPeer = std::size_t{4} << 20;

    // The service's socket in the installation at `installationRoot`, trusting the
    // product's installed client programs (owned by root).
    static VRNXPCServerOptions forService(const std::string& serviceName,
                                          const std::string& installationRoot);
};

class VRNXPCServer : public std::enable_shared_from_this<VRNXPCServer> {
public:
    // Creates the two queues and the empty peer list; nothing listens yet. Options default
    // to forService() in the process's installation. Must be owned by a shared_ptr.
    VRNXPCServer(const std::string& serviceName, dispatch::QueuePtr queue,
                 std::weak_ptr<VRNXPCServerDelegate> delegate);
    VRNXPCServer(const std::string& serviceName, dispatch::QueuePtr queue,
                 std::weak_ptr<VRNXPCServerDelegate> delegate, VRNXPCServerOptions options);
    ~VRNXPCServer();

    // Listens, unless already listening. False (logged) when no socket could be had.
    bool start();
    // Stops listening and cancels every peer; does nothing while stopped.
    void stop();

    bool validatePeer(const VRNXPCPeerConnection& connection, int pidfd);
    const std::string& serviceName() const { return _serviceName; }

    // Number of accepted connections (for tests and the daemon's status).
    std::size_t peerCount();

private:
    friend class VRNXPCPeerConnection;

    struct Listener {
        files::Descriptor socket;
        bool bound = false; // bound here (not passed by systemd): removed on stop
        bool paused = false;
        std::unique_ptr<dispatch::ReadSource> source;
    };
    struct Usage {
        std::size_t connections = 0;
        std::size_t bufferedBytes = 0;
    };

    void _acceptAvailable();
    void _pauseAccepting(int number);
    void _resumeAccepting();
    void _handleConnection(files::Descriptor socket);
    void _handleConnectionError(VRNXPCError error,
                                const std::shared_ptr<VRNXPCPeerConnection>& peer);
    void _handleFrame(const std::shared_ptr<VRNXPCPeerConnection>& peer, plist::Value frame,
                      std::size_t length);
    void _closePeer(const std::shared_ptr<VRNXPCPeerConnection>& peer, const std::string& why);
    bool _addBufferedBytes(uid_t uid, std::ptrdiff_t delta);
    std::shared_ptr<VRNXPCServerDelegate> _lockedDelegate() const { return _delegate.lock(); }

    dispatch::QueuePtr _queue;
    dispatch::LockQueue _lock;
    std::unique_ptr<Listener> _connection;
    std::vector<std::shared_ptr<VRNXPCPeerConnection>> _peers;
    std::weak_ptr<VRNXPCServerDelegate> _delegate;
    std::string _serviceName;
    // Also under _lock: what each user holds, counted against the caps.
    std::map<uid_t, Usage> _usage;
    const VRNXPCServerOptions _options;
};

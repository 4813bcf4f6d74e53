#pragma once

// The client's side of a local service: a connection made on first use and made again
// after it broke. Any thread may send; replies go to the queue the caller names, and a
// synchronous send blocks its caller until the reply or a failure arrives.

#include "common/VRNXPCObject.h"
#include "platform/dispatch/LockQueue.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Source.h"
#include "platform/files/Files.h"
#include "platform/socket/Frame.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

// One connection to the service. It survives the service going away: the requests then
// outstanding fail as interrupted and the next send connects again. It becomes invalid
// (for good) when the service cannot be reached or it is cancelled.
class VRNXPCClientConnection : public std::enable_shared_from_this<VRNXPCClientConnection> {
public:
    using ErrorHandler = std::function<void(VRNXPCError error)>;

    VRNXPCClientConnection(std::string socketPath, dispatch::QueuePtr events,
                           ErrorHandler errorHandler);

    // Sends `message`; `handler` (none for a one-way send) gets the reply or a failure, on
    // the connection's event queue or, on failures found at once, on the calling thread.
    void send(plist::Dictionary message, VRNXPCReplyHandler handler);
    // Ends the connection; outstanding requests fail as invalid.
    void cancel();

private:
    void _readAvailable();
    void _ended(VRNXPCError pendingError, bool report);

    const std::string _socketPath;
    const dispatch::QueuePtr _events;
    const ErrorHandler _errorHandler;
    // Held while writing a frame; taken before _stateLock.
    std::mutex _writeLock;
    std::mutex _stateLock;
    files::Descriptor _socket;
    std::unique_ptr<dispatch::ReadSource> _source;
    sockets::FrameReader _reader;
    std::map<std::uint64_t, VRNXPCReplyHandler> _pending;
    std::uint64_t _nextIdentifier = 1;
    bool _invalid = false;
    // Set by _ended from its shutdown until the socket is closed.
    bool _ending = false;
};

class VRNXPCClient : public std::enable_shared_from_this<VRNXPCClient> {
public:
    // The service's socket in the process's installation. Must be owned by a shared_ptr.
    explicit VRNXPCClient(const std::string& serviceName);
    VRNXPCClient(const std::string& serviceName, std::string socketPath);
    // Closes the connection at once, as cancel() does: its socket does not outlive the client
    // on the event queue, and requests still waiting end with ConnectionInvalid.
    ~VRNXPCClient();

    // The current connection, made first when there is none.
    std::shared_ptr<VRNXPCClientConnection> connection();
    // One-way send: no reply, no result.
    void sendXPCMessage(plist::Dictionary message);
    // The handler gets the reply dictionary or a transport failure on `queue` (the main
    // serial queue when null).
    void sendXPCMessage(plist::Dictionary message, dispatch::QueuePtr queue,
                        VRNXPCReplyHandler replyHandler);
    VRNXPCReply sendSynchronousXPCMessage(plist::Dictionary message);
    // Drops the connection at once; the next send makes a new one.
    void cancel();
    const std::string& serviceName() const { return _serviceName; }

private:
    std::shared_ptr<VRNXPCClientConnection> _makeConnection();
    void _handleConnectionError(VRNXPCError error,
                                const std::weak_ptr<VRNXPCClientConnection>& connection);

    dispatch::LockQueue _internalLock;
    std::shared_ptr<VRNXPCClientConnection> _connection;
    std::string _serviceName;
    const std::string _socketPath;
    const dispatch::QueuePtr _events;
};

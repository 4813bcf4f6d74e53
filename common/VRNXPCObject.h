#pragma once

// What the local service transport carries: dictionaries with typed values, requests that
// may ask for one reply, and the two failure signals a client can see in place of a reply.

#include "platform/plist/Value.h"

#include <cstdint>
#include <functional>
#include <string>
#include <variant>

// The two transport failures. Invalid: the service is not there (no socket, nobody
// listening) or the connection was refused; interrupted: the connection ended while the
// request was outstanding.
enum class VRNXPCError { ConnectionInvalid, ConnectionInterrupted };

// "Connection invalid" or "Connection interrupted".
const char* VRNXPCErrorDescription(VRNXPCError error);

// A reply handler's argument: the reply dictionary or a transport failure.
using VRNXPCReply = std::variant<plist::Dictionary, VRNXPCError>;
using VRNXPCReplyHandler = std::function<void(VRNXPCReply reply)>;

// A request as the server receives it.
struct VRNXPCMessage {
    plist::Dictionary dictionary;
    std::uint64_t identifier = 0;
    bool wantsReply = false;
};

// Where the socket of `serviceName` lives as a product path: "/var/run/keelbrook/" and the
// name's last dot-separated component with ".socket" ("com.vornhal.keelbrook.scheduler" is
// "/var/run/keelbrook/scheduler.socket"). The component is also the name systemd gives the
// activated descriptor (FileDescriptorName=).
std::string VRNXPCSocketProductPath(const std::string& serviceName);
std::string VRNXPCSocketName(const std::string& serviceName);

// Keys of the frames: a request is {"id", "wantsReply", "message"}, a reply {"id",
// "message"} with the id of its request.
inline constexpr const char* kVRNXPCFrameIdentifierKey = "id";
inline constexpr const char* kVRNXPCFrameWantsReplyKey = "wantsReply";
inline constexpr const char* kVRNXPCFrameMessageKey = "message";

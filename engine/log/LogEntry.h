#pragma once

#include <cstdint>
#include <string>

namespace logtool {

// One record of the log, from the journal or from a program's log file.
struct LogEntry {
    std::int64_t realtimeUsec = 0; // microseconds since the Unix epoch
    int priority = 5;              // syslog(3) priority (LOG_NOTICE: the default level)
    std::string subsystem;
    std::string category;
    std::string message;
    std::string processImagePath; // the emitting executable
    std::string processName;      // its short name, for the readable styles
    std::string hostname;
    std::int64_t pid = 0; // 0 when unknown
};

// The message types the product's levels map to: journal priorities err and worse are
// "Error", warning and notice "Default", info "Info", debug "Debug".
enum class MessageType { Default, Info, Debug, Error };

MessageType messageTypeForPriority(int priority);
const char* messageTypeName(MessageType type);

} // namespace logtool

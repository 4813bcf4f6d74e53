#include "engine/log/LogEntry.h"

#include <syslog.h>

namespace logtool {

MessageType messageTypeForPriority(int priority) {
    if (priority <= LOG_ERR) {
        return MessageType::Error;
    }
    switch (priority) {
    case LOG_INFO:
        return MessageType::Info;
    case LOG_DEBUG:
        return MessageType::Debug;
    default:
        return MessageType::Default;
    }
}

const char* messageTypeName(MessageType type) {
    switch (type) {
    case MessageType::Info:
        return "Info";
    case MessageType::Debug:
        return "Debug";
    case MessageType::Error:
        return "Error";
    default:
        return "Default";
    }
}

} // namespace logtool

#include "common/VRNXPCObject.h"

const char* VRNXPCErrorDescription(VRNXPCError error) {
    return error == VRNXPCError::ConnectionInvalid ? "Connection invalid"
                                                   : "Connection interrupted";
}

std::string VRNXPCSocketName(const std::string& serviceName) {
    const std::size_t dot = serviceName.rfind('.');
    return dot == std::string::npos ? serviceName : serviceName.substr(dot + 1);
}

std::string VRNXPCSocketProductPath(const std::string& serviceName) {
    return "/var/run/keelbrook/" + VRNXPCSocketName(serviceName) + ".socket";
}

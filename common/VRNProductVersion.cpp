#include "common/VRNProductVersion.h"

const std::string& VRNProductShortVersion() {
    static const std::string version = KEELBROOK_SHORT_VERSION;
    return version;
}

std::int64_t VRNProductBuildNumber() {
    return KEELBROOK_BUILD_NUMBER;
}

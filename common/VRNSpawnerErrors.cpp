#include "common/VRNErrorTable.h"
#include "common/VRNLog.h"
#include "common/VRNSpawn.h"

#include <cstring>

const char* const VRNSpawnerErrorDomain = "com.vornhal.spawner";

namespace {

std::string systemErrorText(int number) {
    const char* description = strerrordesc_np(number);
    return description ? description : VRNErrorText("Unknown error %d", number);
}

std::string signalText(int number) {
    const char* description = sigdescr_np(number);
    return description ? description : VRNErrorText("Unknown signal %d", number);
}

const VRNErrorCode codes[] = {
    {VRNSpawnerErrorSpawnFailed, VRNLogLevelError, nullptr,
     [](const char*, const VRNErrorInfo& info) {
         const int number = static_cast<int>(info.integer("errno"));
         return VRNErrorText("Could not spawn '%@'. %s (%d).", info.object("tool"),
                             systemErrorText(number), number);
     }},
    {VRNSpawnerErrorExitStatus, VRNLogLevelError, nullptr,
     [](const char*, const VRNErrorInfo& info) {
         return VRNErrorText("%@ exited with status %@.", info.object("tool"),
                             info.object("exit-status"));
     }},
    {VRNSpawnerErrorSignal, VRNLogLevelError, nullptr,
     [](const char*, const VRNErrorInfo& info) {
         const int number = static_cast<int>(info.integer("signal"));
         return VRNErrorText("%@ received signal %d (%s).", info.object("tool"), number,
                             signalText(number));
     }},
};

const VRNErrorTableRegistration registration{{VRNSpawnerErrorDomain, codes}};

} // namespace

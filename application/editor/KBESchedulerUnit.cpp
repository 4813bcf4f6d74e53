#include "application/editor/KBESchedulerUnit.h"

#include "common/VRNSpawn.h"

bool KBESchedulerSocketDisabled(const std::string& systemctlPath) {
    const char* const argv[] = {systemctlPath.c_str(), "is-enabled", "--quiet",
                                kKBESchedulerSocketUnit, nullptr};
    VRNError error("", 0);
    // is-enabled exits 0 for every enabled state and non-zero for disabled or masked ones.
    return !spawn_tool(argv, &error) && error.domain() == VRNSpawnerErrorDomain &&
           error.code() == VRNSpawnerErrorExitStatus;
}

// installer: installs a signed update package. The product uses one form only:
//   installer -pkg <package> -target /
// Exit status 0 when installed; 1 with one line on standard error otherwise.

#include "common/VRNEnvironment.h"
#include "common/VRNLog.h"
#include "engine/installer/Installer.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

// A root program started with a standard stream closed would hand that descriptor number
// to the next file it opens, and a tool's output could land in it.
void keepStandardStreamsOpen() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0) {
            ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    keepStandardStreamsOpen();
    const std::vector<std::string_view> args(argv + std::min(argc, 1), argv + argc);
    if (args.size() != 4 || args[0] != "-pkg" || args[1].empty() || args[2] != "-target" ||
        args[3] != "/") {
        std::fputs("usage: installer -pkg <package> -target /\n", stderr);
        return 1;
    }
    VRNEnvironment::install(VRNEnvironment::fromProcess(nullptr));
    VRNLogInit("com.vornhal.keelbrook", "installer");

    const installer::Request request{std::string(args[1]),
                                     VRNEnvironment::shared().installationRoot,
                                     VRNInstallerPackageTrust::shared()};
    std::string message;
    if (!installer::install(request, &message)) {
        VRNLog(VRNLogLevelError, "%@", message);
        std::fprintf(stderr, "installer: %s\n", message.c_str());
        return 1;
    }
    VRNLog(VRNLogLevelDefault, "%@", message);
    std::printf("installer: %s\n", message.c_str());
    return 0;
}

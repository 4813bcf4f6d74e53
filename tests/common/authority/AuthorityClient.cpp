// A client of the authority running as another user: it switches to the uid given (it is
// started as root, no account needs to exist), asks for rights and prints the outcome, then
// keeps its session open until it is killed.
//
//   authority_client UID SOCKET (none | USER:PASSWORD) RIGHT...
//
// Prints "blob <hex>" or "error <domain> <code>".

#include "common/VRNAuthorizationManager.h"
#include "tests/common/LogTestSupport.h"
#include "tests/support/TestEnvironment.h"

#include <cstdio>
#include <cstdlib>
#include <grp.h>
#include <string>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 5) {
        return 64;
    }
    const auto uid = static_cast<uid_t>(std::strtoul(argv[1], nullptr, 10));
    if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 ||
        ::setresuid(uid, uid, uid) != 0) {
        std::perror("switching user");
        return 71;
    }
    logtest::recorder(); // errors are logged as they are made: not to the machine's log
    testsupport::installEnvironment();
    VRNAuthorizationManager manager(argv[2]);
    const std::string credentials = argv[3];
    if (credentials == "none") {
        manager.setAllowsUserInteraction(false);
    } else {
        const auto colon = credentials.find(':');
        manager.setPromptHandler([credentials, colon](const VRNAuthorizationPromptRequest&) {
            return std::optional<VRNAuthorizationPromptAnswer>(
                {{credentials.substr(0, colon), credentials.substr(colon + 1)}});
        });
    }
    std::vector<std::string> rights(argv + 4, argv + argc);
    std::optional<VRNError> error;
    auto blob = manager.authorizationExternalDataWithRights(rights, &error);
    if (blob) {
        std::printf("blob ");
        for (std::uint8_t byte : *blob) {
            std::printf("%02x", byte);
        }
        std::printf("\n");
    } else {
        std::printf("error %s %ld\n", error->domain().c_str(), error->code());
    }
    std::fflush(stdout);
    for (;;) {
        ::pause();
    }
}

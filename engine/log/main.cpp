// The system log tool: "log" shows and configures the journal's product records, "syslog"
// (the same program under its second name) shows the legacy back end's records.

#include "engine/log/Commands.h"
#include "engine/log/Programs.h"

#include <csignal>
#include <string_view>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv) {
    // A reader that goes away ends the output quietly (Output sees EPIPE).
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string_view> args(argv + std::min(argc, 1), argv + argc);
    const std::string_view name = logtool::fileNameOf(argc > 0 ? argv[0] : "log");
    return name == "syslog" ? logtool::runSyslog(args, STDOUT_FILENO)
                            : logtool::runLog(args, STDOUT_FILENO);
}

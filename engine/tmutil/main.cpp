// tmutil: the backup engine's command line (destination, included folders, exclusions,
// backups, local snapshots, status).

#include "engine/tmutil/Commands.h"

#include <csignal>
#include <string_view>
#include <vector>

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    return tmutil::run(std::vector<std::string_view>(argv + std::min(argc, 1), argv + argc));
}

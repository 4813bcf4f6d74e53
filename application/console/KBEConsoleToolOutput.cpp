#include "application/console/KBEConsoleToolOutput.h"

#include "common/VRNSpawn.h"
#include "platform/files/Files.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

std::optional<std::string> KBEConsoleToolOutput::run(const std::vector<std::string>& args) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    files::Descriptor readEnd(ends[0]);
    files::Descriptor writeEnd(ends[1]);
    std::vector<const char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(arg.c_str());
    }
    argv.push_back(nullptr);
    VRNError error("", 0);
    const pid_t pid = spawn_tool_with_output(argv.data(), writeEnd.get(), &error);
    // Only the child may hold the write end now, so its exit ends the reading.
    writeEnd.reset();
    if (pid < 0) {
        return std::nullopt;
    }
    std::string output;
    char chunk[kChunkSize];
    for (;;) {
        const ssize_t count = read(readEnd.get(), chunk, sizeof chunk);
        if (count > 0) {
            output.append(chunk, static_cast<std::size_t>(count));
        } else if (count == 0 || errno != EINTR) {
            break;
        }
    }
    // The tool's exit status does not matter: what it printed is judged by its parser.
    readEnd.reset();
    wait_for_tool(pid, argv.data(), nullptr);
    return output;
}

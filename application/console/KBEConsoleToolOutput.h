#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// Runs a log tool with its standard output on a pipe and collects everything it prints,
// read in chunks of kChunkSize bytes until end of file; then waits for the tool. None when
// the pipe or the child cannot be created. `args[0]` is the tool's absolute path.
class KBEConsoleToolOutput {
public:
    static constexpr std::size_t kChunkSize = 2048;

    static std::optional<std::string> run(const std::vector<std::string>& args);
};

#pragma once

// A program the engine runs (restic, the worker, systemctl), with its standard output and
// error on pipes when asked. Signals the engine blocks are unblocked and reset in the child.

#include "platform/files/Files.h"

#include <cstddef>
#include <string>
#include <sys/types.h>
#include <vector>

namespace engine {

// A program with its arguments, and the variables ("NAME=VALUE") it gets on top of the
// engine's own environment (a variable named here replaces the inherited one).
struct Command {
    std::vector<std::string> args;
    std::vector<std::string> environment;
};

class Child {
public:
    struct Options {
        bool captureOutput = true;
        bool captureErrors = true;
        // A new session: the child outlives this process and its terminal.
        bool detach = false;
    };

    Child() = default;
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Starts args[0] (an absolute path); standard input is /dev/null. False with `error`
    // filled when it could not be started.
    bool start(const Command& command, const Options& options, std::string* error);
    bool start(const std::vector<std::string>& args, const Options& options, std::string* error) {
        return start(Command{args, {}}, options, error);
    }

    pid_t pid() const { return pid_; }
    // The read ends of the pipes (invalid when not captured). Close them once read to the end.
    files::Descriptor& output() { return output_; }
    files::Descriptor& errors() { return errors_; }

    // Waits for the child's end: its exit status, or 128 + the signal that ended it.
    int wait();
    void signal(int number) const;
    // Lets the child run on after this object goes (it is neither killed nor waited for).
    void letRunOn() { reaped_ = true; }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    files::Descriptor output_;
    files::Descriptor errors_;
};

// What a program run to its end said.
struct RunResult {
    bool started = false;
    int status = -1;
    std::string output;
    std::string errors;
    // Why it could not be started.
    std::string failure;
};

// Runs the program to its end, keeping at most `limit` bytes of each stream (the rest is
// read and dropped, so the child never blocks on a full pipe).
RunResult runToEnd(const Command& command, std::size_t limit = 16u << 20);
inline RunResult runToEnd(const std::vector<std::string>& args, std::size_t limit = 16u << 20) {
    return runToEnd(Command{args, {}}, limit);
}

// The last non-empty line of `text` (restic's reason for a failure), or "" when none.
std::string lastLine(const std::string& text);

} // namespace engine

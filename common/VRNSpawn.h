#pragma once

// Running external tools. The child inherits the caller's standard streams and environment;
// nothing is captured. Element 0 of the argument vector is the tool's absolute path (no
// PATH search) and its name in errors. Outcomes are VRNSpawnerErrorDomain errors of the
// codes below: the tool could not be started or waiting for it failed ("errno"), it exited
// with a non-zero status ("exit-status") or was ended by a signal ("signal"); each carries
// "tool".

#include "common/VRNError.h"
#include "platform/dispatch/Queue.h"

#include <functional>
#include <optional>
#include <sys/types.h>

// "com.vornhal.spawner"; defined beside the domain's table of texts.
extern const char* const VRNSpawnerErrorDomain;

inline constexpr long VRNSpawnerErrorSpawnFailed = 0; // "errno": what posix_spawn returned
inline constexpr long VRNSpawnerErrorExitStatus = 1;  // "exit-status": 1 to 255
inline constexpr long VRNSpawnerErrorSignal = 2;      // "signal": the signal's number

// Runs the tool and waits for it. True when it exited with status 0; otherwise false and,
// when `error` is given, the error.
bool spawn_tool(const char* const argv[], VRNError* error);

// Starts the tool and returns at once. The handler runs exactly once on `queue` after the
// child has been reaped: with no error when it exited with status 0, otherwise with the
// error (a failed start is reported the same way, never from within this call).
using VRNSpawnHandler = std::function<void(std::optional<VRNError> error)>;
void spawn_tool_async(const char* const argv[], dispatch::QueuePtr queue, VRNSpawnHandler handler);

// Starts the program in a session of its own (no controlling terminal) and returns at once
// without waiting for it: how a program opens another that lives on by itself. True with
// `pid` set when it started; false with the start failure (code 0, "errno") otherwise. The
// child is not reaped here: a caller that outlives it collects it, one that exits leaves
// it to the system.
bool spawn_detached(const char* const argv[], pid_t* pid, VRNError* error);

// Starts the tool with its standard output on `outputFd` (-1: inherited; the caller's copy stays
// open; close it after this call so that end of file is seen) and returns at once. The
// caller reads what it needs and then collects the child with wait_for_tool. Returns the
// child's process id, or -1 and the start error when it could not be started.
pid_t spawn_tool_with_output(const char* const argv[], int outputFd, VRNError* error);

// Waits for a child started by spawn_tool_with_output; outcomes as spawn_tool's.
bool wait_for_tool(pid_t pid, const char* const argv[], VRNError* error);

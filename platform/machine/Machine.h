#pragma once

#include "platform/machine/Sources.h"

#include <functional>
#include <memory>
#include <string>

namespace machine {

// A machine a process runs on: where its state sources and its own power assertions come
// from. The program's main picks one (the real machine or the simulated one) and hands it
// to everything that reads machine state.
class Machine {
public:
    virtual ~Machine() = default;

    // A new set of every state source, built with `options`.
    virtual Sources createSources(const SourceOptions& options) = 0;
    // The process's own power assertions on this machine; one set per machine.
    virtual PowerAssertions& powerAssertions() = 0;
    // "linux" or "simulated", for messages.
    virtual std::string name() const = 0;
};

} // namespace machine

namespace machine {

using SourcesFactory = std::function<Sources(const SourceOptions&)>;
using PowerAssertionsFactory = std::function<std::unique_ptr<PowerAssertions>()>;

// A machine built from one implementation's factories; its power assertions are created on
// first use and live as long as the machine.
std::shared_ptr<Machine> makeMachine(std::string name, SourcesFactory sources,
                                     PowerAssertionsFactory assertions);

} // namespace machine

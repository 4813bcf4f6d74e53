#include "platform/machine/Machine.h"

#include <mutex>

namespace machine {
namespace {

class FactoryMachine final : public Machine {
public:
    FactoryMachine(std::string name, SourcesFactory sources, PowerAssertionsFactory assertions)
        : name_(std::move(name)), sources_(std::move(sources)), assertions_(std::move(assertions)) {
    }

    Sources createSources(const SourceOptions& options) override { return sources_(options); }

    PowerAssertions& powerAssertions() override {
        std::call_once(assertionsCreated_, [this] { powerAssertions_ = assertions_(); });
        return *powerAssertions_;
    }

    std::string name() const override { return name_; }

private:
    const std::string name_;
    const SourcesFactory sources_;
    const PowerAssertionsFactory assertions_;
    std::once_flag assertionsCreated_;
    std::unique_ptr<PowerAssertions> powerAssertions_;
};

} // namespace

std::shared_ptr<Machine> makeMachine(std::string name, SourcesFactory sources,
                                     PowerAssertionsFactory assertions) {
    return std::make_shared<FactoryMachine>(std::move(name), std::move(sources),
                                            std::move(assertions));
}

} // namespace machine

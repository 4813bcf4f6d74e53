#include "platform/reachability/Reachability.h"

#include "platform/machine-linux/LinuxFeeds.h"
#include "platform/machine-linux/LinuxRoutes.h"

namespace reachability {

std::unique_ptr<Reachability> Reachability::system() {
    return std::make_unique<Reachability>(machine::linuxfeeds::routeChanges(), [] {
        return machine::linuxroutes::defaultInterface().has_value();
    });
}

Reachability::Reachability(machine::EventFeedFactory events, std::function<bool()> read)
    : read_(std::move(read)),
      source_(std::make_unique<machine::FeedStateSource<bool>>(std::move(events), read_)) {}

Reachability::~Reachability() {
    stop();
}

bool Reachability::start(const dispatch::QueuePtr& queue, Handler changed, std::string* error) {
    if (!source_->start(queue, std::move(changed), error)) {
        return false;
    }
    // A change between the caller's reading and the start is not lost.
    source_->deliverSoon();
    return true;
}

void Reachability::stop() {
    source_->stop();
}

} // namespace reachability

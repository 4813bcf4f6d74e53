#pragma once

// Whether the update server can be reached: it counts as reachable while the machine has a
// default route (IPv4 or IPv6). Waiting for it follows rtnetlink's route and link events;
// nothing polls. A name that does not resolve is a failed attempt, not a reason to wait.

#include "platform/dispatch/Queue.h"
#include "platform/machine-linux/EventFeed.h"

#include <functional>
#include <memory>
#include <string>

namespace reachability {

class Reachability {
public:
    using Handler = std::function<void(bool reachable)>;

    // The real system: rtnetlink's route events and its default routes.
    static std::unique_ptr<Reachability> system();
    // Tests give their own event feed and reading.
    Reachability(machine::EventFeedFactory events, std::function<bool()> read);
    ~Reachability();

    // Whether the server counts as reachable now.
    bool reachable() const { return read_(); }

    // Calls `changed` on `queue` with a reading taken right after the start and after each
    // route event, until stop(). False with `error` filled when the events cannot be followed.
    bool start(const dispatch::QueuePtr& queue, Handler changed, std::string* error);
    void stop();

private:
    std::function<bool()> read_;
    std::unique_ptr<machine::FeedStateSource<bool>> source_;
};

} // namespace reachability

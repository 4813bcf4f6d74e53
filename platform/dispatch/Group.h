#pragma once

#include "platform/dispatch/Queue.h"

#include <memory>
#include <utility>
#include <vector>

namespace dispatch {

// Counts outstanding pieces of work; when the count returns to zero every notification
// registered so far runs on its queue. Copies share one count.
class Group {
public:
    Group();

    void enter();
    void leave(); // more leaves than enters abort
    // Runs `work` on `queue` once the group is empty (at once if it is empty now).
    void notify(const QueuePtr& queue, Work work);
    // enter(), then `work` on `queue`, then leave().
    void async(const QueuePtr& queue, Work work);

private:
    struct State {
        std::mutex mutex;
        long count = 0;
        std::vector<std::pair<QueuePtr, Work>> notifications;
    };
    std::shared_ptr<State> state_;
};

} // namespace dispatch

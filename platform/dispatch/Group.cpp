#include "platform/dispatch/Group.h"

#include "platform/dispatch/Fatal.h"

namespace dispatch {

Group::Group() : state_(std::make_shared<State>()) {}

void Group::enter() {
    std::lock_guard lock(state_->mutex);
    ++state_->count;
}

void Group::leave() {
    std::vector<std::pair<QueuePtr, Work>> ready;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->count == 0) {
            fatal("group left more often than entered");
        }
        if (--state_->count == 0) {
            ready.swap(state_->notifications);
        }
    }
    for (auto& [queue, work] : ready) {
        queue->async(std::move(work));
    }
}

void Group::notify(const QueuePtr& queue, Work work) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->count > 0) {
            state_->notifications.emplace_back(queue, std::move(work));
            return;
        }
    }
    queue->async(std::move(work));
}

void Group::async(const QueuePtr& queue, Work work) {
    enter();
    queue->async([group = *this, work = std::move(work)]() mutable {
        work();
        group.leave();
    });
}

} // namespace dispatch

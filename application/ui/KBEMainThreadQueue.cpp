#include "application/ui/KBEMainThreadQueue.h"

#include <QMetaObject>
#include <QObject>

std::shared_ptr<KBEMainThreadQueue> KBEMainThreadQueue::create(QObject* context) {
    return std::shared_ptr<KBEMainThreadQueue>(new KBEMainThreadQueue(context));
}

KBEMainThreadQueue::KBEMainThreadQueue(QObject* context) : context_(context) {}

void KBEMainThreadQueue::async(dispatch::Work work) {
    // Queued invocations to one receiver are delivered in the order they were posted.
    QObject* context = context_.data();
    if (!context) {
        return;
    }
    std::weak_ptr<KBEMainThreadQueue> weakSelf =
        std::static_pointer_cast<KBEMainThreadQueue>(shared_from_this());
    QMetaObject::invokeMethod(
        context,
        [weakSelf, work = std::move(work)] {
            const auto self = weakSelf.lock();
            const dispatch::detail::ExecutingScope scope(self.get());
            work();
        },
        Qt::QueuedConnection);
}

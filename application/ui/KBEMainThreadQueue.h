#pragma once

#include "platform/dispatch/Queue.h"

#include <QPointer>

class QObject;

// The user-interface thread's serial queue. Items are posted into the Qt event loop of
// `context`'s thread and run there one at a time, in submission order, from any thread.
// Items posted after `context` is destroyed are dropped, never run elsewhere.
class KBEMainThreadQueue final : public dispatch::Queue {
public:
    static std::shared_ptr<KBEMainThreadQueue> create(QObject* context);

    void async(dispatch::Work work) override;
    const std::string& label() const override { return label_; }
    bool isSerial() const override { return true; }

private:
    explicit KBEMainThreadQueue(QObject* context);

    const std::string label_ = "com.vornhal.keelbrook.main-thread";
    const QPointer<QObject> context_;
};

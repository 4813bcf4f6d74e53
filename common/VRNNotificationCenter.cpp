#include "common/VRNNotificationCenter.h"

#include "common/VRNEnvironment.h"

#include <vector>

VRNNotificationCenter& VRNNotificationCenter::defaultCenter() {
    return *VRNEnvironment::shared().notifications;
}

VRNNotificationCenter::Token
VRNNotificationCenter::addObserver(std::string name, dispatch::QueuePtr queue, Handler handler) {
    std::lock_guard lock(mutex_);
    Token token = nextToken_++;
    observers_.emplace(token, Observer{std::move(name), std::move(queue), std::move(handler),
                                       std::make_shared<std::atomic<bool>>(false)});
    return token;
}

void VRNNotificationCenter::removeObserver(Token token) {
    std::lock_guard lock(mutex_);
    auto it = observers_.find(token);
    if (it != observers_.end()) {
        it->second.removed->store(true);
        observers_.erase(it);
    }
}

void VRNNotificationCenter::post(const std::string& name, std::any object) {
    std::vector<Observer> matching;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [token, observer] : observers_) {
            if (observer.name == name) {
                matching.push_back(observer);
            }
        }
    }
    // Handlers run without the centre's lock, so they may add or remove observers.
    for (auto& observer : matching) {
        if (!observer.queue) {
            if (!observer.removed->load()) {
                observer.handler(name, object);
            }
            continue;
        }
        observer.queue->async([observer, name, object] {
            if (!observer.removed->load()) {
                observer.handler(name, object);
            }
        });
    }
}

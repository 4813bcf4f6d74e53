#pragma once

#include "platform/dispatch/Queue.h"

#include <any>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

// The in-process notification centre: `post` calls every observer of a name, synchronously
// on the posting thread, or on the queue the observer gave.
class VRNNotificationCenter {
public:
    using Token = uint64_t;
    using Handler = std::function<void(const std::string& name, const std::any& object)>;

    // The centre of the process's environment.
    static VRNNotificationCenter& defaultCenter();

    // `queue` may be null: the handler then runs on the posting thread.
    Token addObserver(std::string name, dispatch::QueuePtr queue, Handler handler);
    // After this returns the observer is not called again (a call already running on
    // another thread may finish).
    void removeObserver(Token token);
    void post(const std::string& name, std::any object = {});

private:
    struct Observer {
        std::string name;
        dispatch::QueuePtr queue;
        Handler handler;
        std::shared_ptr<std::atomic<bool>> removed;
    };

    std::mutex mutex_;
    std::map<Token, Observer> observers_;
    Token nextToken_ = 1;
};

#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

struct epoll_event;

namespace dispatch {

// The one thread that waits in epoll_wait for every descriptor the runtime watches.
// Callbacks run on that thread and must only do quick, non-blocking work (read the
// descriptor, hand a handler to a queue); queue items never run here.
class Reactor {
public:
    using Callback = std::function<void(uint32_t events)>;

    Reactor();

    // Watches `fd` for `events` (EPOLLONESHOT allowed) and returns a registration id.
    // Returns 0 and sets errno when the kernel refuses. `id`, when given, receives the id
    // before the descriptor is watched, so that work the callback starts can use it.
    uint64_t add(int fd, uint32_t events, Callback callback, std::atomic<uint64_t>* id = nullptr);
    // Re-enables a one-shot registration. Unknown ids are ignored.
    void rearm(uint64_t id);
    // Stops watching. When it returns, the callback is not running and never runs again
    // (unless called from the callback itself), so the caller may close the descriptor.
    void remove(uint64_t id);

    // Runs the callbacks of every descriptor that is ready now and returns how many ran.
    // Used by the virtual clock to settle pending descriptor work; never call it from the
    // reactor thread.
    size_t flush();

private:
    struct Registration {
        int fd;
        uint32_t events;
        std::shared_ptr<Callback> callback;
    };

    void run();
    size_t dispatchEvents(const ::epoll_event* events, int count, bool* wakeRequested);
    void dispatchOne(uint64_t id, uint32_t events);

    int epoll_ = -1;
    int wake_ = -1; // eventfd that interrupts epoll_wait for flush requests
    std::thread::id thread_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::unordered_map<uint64_t, Registration> registrations_;
    uint64_t nextId_ = 1;
    uint64_t running_ = 0; // registration whose callback is executing
    uint64_t flushRequested_ = 0;
    uint64_t flushDone_ = 0;
    size_t flushCount_ = 0;
};

} // namespace dispatch

#include "platform/dispatch/Reactor.h"

#include "platform/dispatch/Fatal.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace dispatch {

namespace {
constexpr uint64_t kWakeId = 0;
constexpr int kBatch = 64;
} // namespace

Reactor::Reactor() {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (epoll_ < 0 || wake_ < 0) {
        fatal("cannot create the reactor: %s", std::strerror(errno));
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeId;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &ev);

    sigset_t old;
    blockAsynchronousSignals(&old);
    std::thread thread([this] { run(); });
    thread_ = thread.get_id();
    thread.detach();
    restoreSignalMask(&old);
}

uint64_t Reactor::add(int fd, uint32_t events, Callback callback, std::atomic<uint64_t>* idOut) {
    std::lock_guard lock(mutex_);
    uint64_t id = nextId_++;
    if (idOut) {
        idOut->store(id);
    }
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = id;
    registrations_.emplace(
        id, Registration{fd, events, std::make_shared<Callback>(std::move(callback))});
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) != 0) {
        int saved = errno;
        registrations_.erase(id);
        errno = saved;
        return 0;
    }
    return id;
}

void Reactor::rearm(uint64_t id) {
    std::lock_guard lock(mutex_);
    auto it = registrations_.find(id);
    if (it == registrations_.end()) {
        return;
    }
    epoll_event ev{};
    ev.events = it->second.events;
    ev.data.u64 = id;
    epoll_ctl(epoll_, EPOLL_CTL_MOD, it->second.fd, &ev);
}

void Reactor::remove(uint64_t id) {
    std::unique_lock lock(mutex_);
    auto it = registrations_.find(id);
    if (it != registrations_.end()) {
        epoll_ctl(epoll_, EPOLL_CTL_DEL, it->second.fd, nullptr);
        registrations_.erase(it);
    }
    if (std::this_thread::get_id() != thread_) {
        changed_.wait(lock, [&] { return running_ != id; });
    }
}

size_t Reactor::flush() {
    if (std::this_thread::get_id() == thread_) {
        fatal("flush called on the reactor thread");
    }
    std::unique_lock lock(mutex_);
    uint64_t ticket = ++flushRequested_;
    uint64_t one = 1;
    if (write(wake_, &one, sizeof one) < 0 && errno != EAGAIN) {
        fatal("cannot wake the reactor: %s", std::strerror(errno));
    }
    changed_.wait(lock, [&] { return flushDone_ >= ticket; });
    return flushCount_;
}

void Reactor::dispatchOne(uint64_t id, uint32_t events) {
    std::shared_ptr<Callback> callback;
    {
        std::lock_guard lock(mutex_);
        auto it = registrations_.find(id);
        if (it == registrations_.end()) {
            return; // removed after epoll_wait returned it
        }
        callback = it->second.callback;
        running_ = id;
    }
    (*callback)(events);
    {
        std::lock_guard lock(mutex_);
        running_ = 0;
    }
    changed_.notify_all();
}

size_t Reactor::dispatchEvents(const epoll_event* events, int count, bool* wakeRequested) {
    size_t dispatched = 0;
    for (int i = 0; i < count; ++i) {
        if (events[i].data.u64 == kWakeId) {
            uint64_t value;
            while (read(wake_, &value, sizeof value) > 0) {
            }
            *wakeRequested = true;
            continue;
        }
        dispatchOne(events[i].data.u64, events[i].events);
        ++dispatched;
    }
    return dispatched;
}

void Reactor::run() {
    epoll_event events[kBatch];
    for (;;) {
        int n = epoll_wait(epoll_, events, kBatch, -1);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            fatal("epoll_wait failed: %s", std::strerror(errno));
        }
        bool wakeRequested = false;
        size_t dispatched = dispatchEvents(events, n, &wakeRequested);
        if (!wakeRequested) {
            continue;
        }
        // A flush: settle everything that is ready right now before answering.
        uint64_t answering;
        {
            std::lock_guard lock(mutex_);
            answering = flushRequested_;
        }
        for (;;) {
            int ready = epoll_wait(epoll_, events, kBatch, 0);
            bool again = false;
            size_t more = ready > 0 ? dispatchEvents(events, ready, &again) : 0;
            dispatched += more;
            if (more == 0) {
                break;
            }
        }
        {
            std::lock_guard lock(mutex_);
            flushDone_ = answering;
            flushCount_ = dispatched;
        }
        changed_.notify_all();
    }
}

} // namespace dispatch

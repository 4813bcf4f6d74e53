#include "platform/dispatch/Source.h"

#include "platform/dispatch/Runtime.h"
#include "platform/dispatch/TimerService.h"

#include <cerrno>
#include <csignal>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace dispatch {

namespace detail {

void SourceCore::signal() {
    if (isCancelled()) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        if (running_) {
            again_ = true;
            return;
        }
        if (pending_) {
            return;
        }
        pending_ = true;
    }
    queue_->async([self = shared_from_this()] { self->run(); });
}

void SourceCore::run() {
    {
        std::lock_guard lock(mutex_);
        pending_ = false;
        if (isCancelled()) {
            return;
        }
        running_ = true;
    }
    handler_();
    if (afterHandler && !isCancelled()) {
        afterHandler();
    }
    bool rerun;
    {
        std::lock_guard lock(mutex_);
        running_ = false;
        rerun = again_ && !isCancelled();
        again_ = false;
        pending_ = rerun;
    }
    if (rerun) {
        queue_->async([self = shared_from_this()] { self->run(); });
    }
}

void SourceCore::cancel() {
    {
        std::lock_guard lock(mutex_);
        if (cancelled_.exchange(true, std::memory_order_acq_rel)) {
            return;
        }
    }
    if (release) {
        release();
    }
}

} // namespace detail

namespace {

// Makes a source the owner of `fd`, watched under registration `id`: cancelling stops the
// watch and closes it. A failed registration (id 0) closes it at once, keeping errno.
bool ownDescriptor(detail::SourceCore& core, int fd, uint64_t id) {
    if (id == 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return false;
    }
    core.release = [id, fd] {
        Runtime::shared().reactor().remove(id);
        close(fd);
    };
    return true;
}

} // namespace

TimerSource::TimerSource(QueuePtr queue, Work handler)
    : Source(std::move(queue), std::move(handler)), entry_(std::make_shared<TimerEntry>()) {
    std::weak_ptr<detail::SourceCore> core = core_;
    entry_->fire = [core] {
        if (auto c = core.lock()) {
            c->signal();
        }
    };
    core_->release = [entry = entry_] {
        Runtime::shared().timers().disarm(entry);
    };
}

void TimerSource::schedule(Deadline start, Duration interval, Duration leeway) {
    if (isCancelled()) {
        return;
    }
    Runtime::shared().timers().arm(entry_, start, interval, leeway);
}

std::unique_ptr<ReadSource> ReadSource::create(int fd, QueuePtr queue, Work handler,
                                               Readiness readiness) {
    std::unique_ptr<ReadSource> source(new ReadSource(std::move(queue), std::move(handler)));
    Reactor& reactor = Runtime::shared().reactor();
    std::weak_ptr<detail::SourceCore> core = source->core_;
    // The descriptor may be readable at once: everything a handler run uses, the
    // registration's id among it, is in place before the descriptor is watched.
    auto registration = std::make_shared<std::atomic<uint64_t>>(0);
    source->core_->afterHandler = [&reactor, registration] {
        reactor.rearm(registration->load());
    };
    source->core_->release = [&reactor, registration] {
        reactor.remove(registration->load());
    };
    const uint32_t events = readiness == Readiness::Priority   ? EPOLLPRI
                            : readiness == Readiness::Writable ? EPOLLOUT
                                                               : EPOLLIN;
    uint64_t id = reactor.add(
        fd, events | EPOLLONESHOT,
        [core](uint32_t) {
            if (auto c = core.lock()) {
                c->signal();
            }
        },
        registration.get());
    if (id == 0) {
        source->core_->release = nullptr;
        return nullptr;
    }
    return source;
}

std::unique_ptr<SignalSource> SignalSource::create(int signal, QueuePtr queue, Work handler) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    int fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    std::unique_ptr<SignalSource> source(new SignalSource(std::move(queue), std::move(handler)));
    Reactor& reactor = Runtime::shared().reactor();
    std::weak_ptr<detail::SourceCore> core = source->core_;
    uint64_t id = reactor.add(fd, EPOLLIN, [core, fd](uint32_t) {
        signalfd_siginfo info;
        bool received = false;
        while (read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            received = true;
        }
        if (auto c = core.lock(); c && received) {
            c->signal();
        }
    });
    if (!ownDescriptor(*source->core_, fd, id)) {
        return nullptr;
    }
    return source;
}

namespace {

// The wait status waitpid would have reported for a waitid result.
int waitStatus(const siginfo_t& info) {
    switch (info.si_code) {
    case CLD_EXITED:
        return (info.si_status & 0xff) << 8;
    case CLD_KILLED:
        return info.si_status & 0x7f;
    case CLD_DUMPED:
        return (info.si_status & 0x7f) | 0x80;
    default:
        return -1;
    }
}

} // namespace

std::unique_ptr<ProcessSource> ProcessSource::create(pid_t pid, QueuePtr queue,
                                                     std::function<void(int status)> handler) {
    int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) {
        return nullptr;
    }
    auto status = std::make_shared<std::atomic<int>>(-1);
    std::unique_ptr<ProcessSource> source(new ProcessSource(
        std::move(queue), [status, handler = std::move(handler)] { handler(status->load()); }));
    Reactor& reactor = Runtime::shared().reactor();
    std::weak_ptr<detail::SourceCore> core = source->core_;
    auto registration = std::make_shared<std::atomic<uint64_t>>(0);
    // One-shot, re-armed only if the wake-up was spurious: the handler runs once.
    uint64_t id = reactor.add(
        fd, EPOLLIN | EPOLLONESHOT,
        [=, &reactor](uint32_t) {
            siginfo_t info{};
            int rc;
            do {
                rc = waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(fd), &info,
                            WEXITED | WNOHANG);
            } while (rc < 0 && errno == EINTR);
            if (rc == 0 && info.si_pid == 0) {
                reactor.rearm(registration->load()); // not exited after all
                return;
            }
            status->store(rc == 0 ? waitStatus(info) : -1);
            if (auto c = core.lock()) {
                c->signal();
            }
        },
        registration.get());
    if (!ownDescriptor(*source->core_, fd, id)) {
        return nullptr;
    }
    return source;
}

} // namespace dispatch

#include "engine/core/SubvolumeCleaning.h"

#include "platform/files/Files.h"

#include <btrfsutil.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/btrfs.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

// The kernel's own wait for a deleted subvolume (Linux 6.13); older headers lack it.
#ifndef BTRFS_IOC_SUBVOL_SYNC_WAIT
struct btrfs_ioctl_subvol_wait {
    __u64 subvolid;
    __u32 mode;
    __u32 count;
};
#define BTRFS_SUBVOL_SYNC_WAIT_FOR_ONE (0)
#define BTRFS_IOC_SUBVOL_SYNC_WAIT _IOW(BTRFS_IOCTL_MAGIC, 65, struct btrfs_ioctl_subvol_wait)
#endif

namespace engine {

namespace {

// Kernels without the wait are asked again at this interval (as btrfs-progs does).
constexpr long kRecheckNanoseconds = 250'000'000;

// The signal that ends a wait at its limit. Its handler does nothing: arriving is enough to
// interrupt the kernel's wait or the sleep between checks.
const int kLimitSignal = SIGRTMIN + 3;

void limitReached(int) {}

// A one-shot timer that interrupts this thread's blocking calls once `limit` has passed.
class WaitLimit {
public:
    explicit WaitLimit(std::chrono::milliseconds limit) {
        // Installed once and kept: a signal still queued after the timer is gone must not
        // find the default action (which ends the process).
        static const bool installed = [] {
            struct sigaction action {};
            action.sa_handler = limitReached;
            sigemptyset(&action.sa_mask);
            action.sa_flags = 0; // no SA_RESTART: the interrupted call returns EINTR
            return ::sigaction(kLimitSignal, &action, nullptr) == 0;
        }();
        sigset_t limitOnly;
        sigemptyset(&limitOnly);
        sigaddset(&limitOnly, kLimitSignal);
        ::pthread_sigmask(SIG_UNBLOCK, &limitOnly, &previousMask_);
        sigevent event{};
        event.sigev_notify = SIGEV_THREAD_ID;
        event.sigev_signo = kLimitSignal;
        event._sigev_un._tid = static_cast<pid_t>(::syscall(SYS_gettid));
        armed_ = installed && ::timer_create(CLOCK_MONOTONIC, &event, &timer_) == 0;
        if (armed_) {
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limit);
            itimerspec when{};
            when.it_value.tv_sec = seconds.count();
            when.it_value.tv_nsec =
                std::chrono::duration_cast<std::chrono::nanoseconds>(limit - seconds).count();
            armed_ = limit.count() > 0 && ::timer_settime(timer_, 0, &when, nullptr) == 0;
            if (!armed_) {
                ::timer_delete(timer_);
            }
        }
    }

    ~WaitLimit() {
        if (armed_) {
            ::timer_delete(timer_);
        }
        ::pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
    }

    WaitLimit(const WaitLimit&) = delete;
    WaitLimit& operator=(const WaitLimit&) = delete;

    // Without a timer no wait may block: the caller gives up rather than wait unbounded.
    bool armed() const { return armed_; }

    // A one-shot timer that has fired is disarmed: nothing is left of its time.
    bool passed() const {
        itimerspec left{};
        return ::timer_gettime(timer_, &left) != 0 ||
               (left.it_value.tv_sec == 0 && left.it_value.tv_nsec == 0);
    }

private:
    timer_t timer_{};
    sigset_t previousMask_{};
    bool armed_ = false;
};

enum class Cleaned { Yes, No, Unsupported };

// The kernel waits until the cleaner has dropped `id`; "no such subvolume" means it has.
Cleaned kernelWait(int folder, std::uint64_t id, const WaitLimit& limit, std::string* error) {
    for (;;) {
        btrfs_ioctl_subvol_wait wait{};
        wait.subvolid = id;
        wait.mode = BTRFS_SUBVOL_SYNC_WAIT_FOR_ONE;
        if (::ioctl(folder, BTRFS_IOC_SUBVOL_SYNC_WAIT, &wait) == 0 || errno == ENOENT) {
            return Cleaned::Yes;
        }
        if (errno == ENOTTY || errno == EINVAL || errno == EOPNOTSUPP) {
            return Cleaned::Unsupported;
        }
        if (errno != EINTR || limit.passed()) {
            *error = errno == EINTR
                         ? "the cleaner did not finish in time"
                         : std::string("cannot wait for the cleaner: ") + std::strerror(errno);
            return Cleaned::No;
        }
    }
}

// Older kernels: the subvolume's tree item goes when the cleaner has dropped it.
Cleaned checkedWait(int folder, std::uint64_t id, const WaitLimit& limit, std::string* error) {
    for (;;) {
        const btrfs_util_error found = btrfs_util_subvolume_info_fd(folder, id, nullptr);
        if (found == BTRFS_UTIL_ERROR_SUBVOLUME_NOT_FOUND) {
            return Cleaned::Yes;
        }
        if (found != BTRFS_UTIL_OK) {
            *error =
                std::string("cannot look for the deleted subvolume: ") + btrfs_util_strerror(found);
            return Cleaned::No;
        }
        const timespec interval{0, kRecheckNanoseconds};
        if (limit.passed() || (::nanosleep(&interval, nullptr) != 0 && limit.passed())) {
            *error = "the cleaner did not finish in time";
            return Cleaned::No;
        }
    }
}

} // namespace

bool waitForCleaning(const std::string& top, const std::vector<std::uint64_t>& ids,
                     std::chrono::milliseconds limit, std::string* error) {
    files::Descriptor folder = files::openFile(top, O_RDONLY | O_DIRECTORY);
    if (!folder.valid()) {
        *error = "cannot open " + top + ": " + std::strerror(errno);
        return false;
    }
    const WaitLimit waitLimit(limit);
    if (!waitLimit.armed()) {
        *error = std::string("cannot time the wait for the cleaner: ") + std::strerror(errno);
        return false;
    }
    bool kernelWaits = true;
    for (const std::uint64_t id : ids) {
        Cleaned cleaned =
            kernelWaits ? kernelWait(folder.get(), id, waitLimit, error) : Cleaned::Unsupported;
        if (cleaned == Cleaned::Unsupported) {
            kernelWaits = false;
            cleaned = checkedWait(folder.get(), id, waitLimit, error);
        }
        if (cleaned != Cleaned::Yes) {
            return false;
        }
    }
    // The dropped extents become free space with the next commit.
    const btrfs_util_error synced = btrfs_util_sync_fd(folder.get());
    if (synced != BTRFS_UTIL_OK) {
        *error = std::string("cannot sync: ") + btrfs_util_strerror(synced);
        return false;
    }
    return true;
}

} // namespace engine

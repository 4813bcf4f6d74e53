// A program for the process tests, running the runtime on the real clock.
//   exit    busy queues and timers, then exit(0) from a queue item
//   timers  real monotonic, wall and repeating timers; exit 0 when none fired early
//   idle    one timer an hour away, idle queues; prints "ready" and waits for ever
#include "platform/dispatch/Group.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Source.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

using namespace std::chrono_literals;
using dispatch::SerialQueue;

namespace {

[[noreturn]] void exitFromAQueueItem() {
    auto main = SerialQueue::create("com.vornhal.main");
    std::vector<std::shared_ptr<SerialQueue>> queues;
    static std::atomic<long> work{0};
    for (int i = 0; i < 8; ++i) {
        auto q = SerialQueue::create("com.vornhal.child", i % 2 ? main : nullptr);
        for (int j = 0; j < 1000; ++j) {
            q->async([] { work.fetch_add(1); });
        }
        queues.push_back(q);
    }
    static auto timer = new dispatch::TimerSource(main, [] { work.fetch_add(1); });
    timer->schedule(dispatch::afterNow(1ms), 1ms);
    dispatch::after(20ms, main, [] { std::exit(0); });
    dispatch::parkMainThread();
}

[[noreturn]] void realTimers() {
    auto queue = SerialQueue::create("com.vornhal.timers");
    static std::atomic<int> early{0};
    static std::atomic<int> fired{0};
    auto check = [](dispatch::Deadline deadline) {
        return [deadline] {
            if (dispatch::now(deadline.clock) < deadline.time) {
                early.fetch_add(1);
            }
            fired.fetch_add(1);
        };
    };
    auto monoDeadline = dispatch::afterNow(20ms);
    auto wallDeadline = dispatch::wallAfterNow(25ms);
    static auto mono = new dispatch::TimerSource(queue, check(monoDeadline));
    static auto wall = new dispatch::TimerSource(queue, check(wallDeadline));
    mono->schedule(monoDeadline);
    wall->schedule(wallDeadline);
    static dispatch::Duration repeatStart = dispatch::monotonicNow() + 5ms;
    static std::atomic<int> repeats{0};
    static dispatch::TimerSource* repeating = new dispatch::TimerSource(queue, [] {
        int n = repeats.fetch_add(1) + 1;
        if (dispatch::monotonicNow() < repeatStart + 5ms * (n - 1)) {
            early.fetch_add(1);
        }
        if (n == 5) {
            repeating->cancel();
        }
    });
    repeating->schedule(dispatch::Deadline::monotonic(repeatStart), 5ms);
    dispatch::after(200ms, queue, [] {
        std::printf("fired %d, repeats %d, early %d\n", fired.load(), repeats.load(), early.load());
        std::fflush(stdout);
        std::_Exit(fired == 2 && repeats == 5 && early == 0 ? 0 : 1);
    });
    dispatch::parkMainThread();
}

[[noreturn]] void idle() {
    auto main = SerialQueue::create("com.vornhal.main");
    auto child = SerialQueue::create("com.vornhal.child", main);
    static auto timer = new dispatch::TimerSource(child, [] {});
    timer->schedule(dispatch::afterNow(1h));
    static auto wall = new dispatch::TimerSource(child, [] {});
    wall->schedule(dispatch::wallAfterNow(1h), 0s, 10s);
    // Let the pool start its threads before the parent starts counting.
    child->sync([] {});
    dispatch::globalQueue()->sync([] {});
    std::printf("ready\n");
    std::fflush(stdout);
    dispatch::parkMainThread();
}

} // namespace

int main(int argc, char** argv) {
    const char* mode = argc > 1 ? argv[1] : "";
    if (std::strcmp(mode, "exit") == 0) {
        exitFromAQueueItem();
    }
    if (std::strcmp(mode, "timers") == 0) {
        realTimers();
    }
    if (std::strcmp(mode, "idle") == 0) {
        idle();
    }
    std::fprintf(stderr, "usage: %s exit|timers|idle\n", argv[0]);
    return 2;
}

#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Source.h"
#include "platform/dispatch/VirtualClock.h"

#include <gtest/gtest.h>
#include <mutex>
#include <vector>

namespace {

using namespace std::chrono_literals;
using dispatch::ClockKind;
using dispatch::Deadline;
using dispatch::Duration;
using dispatch::SerialQueue;
using dispatch::TimerSource;

dispatch::VirtualClock& clock() {
    return dispatch::VirtualClock::install();
}

// Records the monotonic times at which timers fired, by name.
class FireLog {
public:
    dispatch::Work record(std::string name) {
        return [this, name] {
            std::lock_guard lock(mutex_);
            fired_.emplace_back(name, dispatch::monotonicNow());
        };
    }
    std::vector<std::pair<std::string, Duration>> fired() {
        std::lock_guard lock(mutex_);
        return fired_;
    }
    std::vector<std::string> names() {
        std::vector<std::string> result;
        for (auto& [name, at] : fired()) {
            result.push_back(name);
        }
        return result;
    }

private:
    std::mutex mutex_;
    std::vector<std::pair<std::string, Duration>> fired_;
};

class TimerTest : public testing::Test {
protected:
    std::shared_ptr<SerialQueue> queue = SerialQueue::create("com.vornhal.test.timers");
    FireLog log;
    Duration start = dispatch::monotonicNow();
};

TEST_F(TimerTest, OneShotFiresAtItsDeadlineNeverEarlyAndOnce) {
    TimerSource timer(queue, log.record("t"));
    timer.schedule(dispatch::afterNow(10s));
    clock().advance(10s - 1ns);
    EXPECT_TRUE(log.fired().empty());
    clock().advance(1ns);
    ASSERT_EQ(log.fired().size(), 1u);
    EXPECT_EQ(log.fired()[0].second, start + 10s);
    clock().advance(1h);
    EXPECT_EQ(log.fired().size(), 1u);
}

TEST_F(TimerTest, RepeatingReArmedAndDisarmed) {
    TimerSource timer(queue, log.record("r"));
    timer.schedule(dispatch::afterNow(1s), 2s);
    clock().advance(6s);
    ASSERT_EQ(log.fired().size(), 3u); // at 1, 3, 5
    EXPECT_EQ(log.fired()[2].second, start + 5s);

    timer.schedule(dispatch::afterNow(10s)); // re-armed as a one-shot, from 6 s
    clock().advance(9s);
    EXPECT_EQ(log.fired().size(), 3u);
    clock().advance(1s);
    EXPECT_EQ(log.fired().size(), 4u);
    EXPECT_EQ(log.fired()[3].second, start + 16s);

    timer.schedule(dispatch::afterNow(1s), 1s);
    timer.disarm();
    clock().advance(10s);
    EXPECT_EQ(log.fired().size(), 4u);
}

TEST_F(TimerTest, CancelledTimerNeverFiresAgain) {
    TimerSource timer(queue, log.record("c"));
    timer.schedule(dispatch::afterNow(1s), 1s);
    clock().advance(1s);
    timer.cancel();
    EXPECT_TRUE(timer.isCancelled());
    timer.schedule(dispatch::afterNow(1s)); // ignored once cancelled
    clock().advance(10s);
    EXPECT_EQ(log.fired().size(), 1u);
}

TEST_F(TimerTest, SameDeadlineFiresInArmingOrder) {
    TimerSource b(queue, log.record("b"));
    TimerSource a(queue, log.record("a"));
    TimerSource c(queue, log.record("c"));
    b.schedule(dispatch::afterNow(5s));
    a.schedule(dispatch::afterNow(5s));
    c.schedule(dispatch::afterNow(5s));
    a.schedule(dispatch::afterNow(5s)); // re-arming moves it last
    clock().advance(5s);
    EXPECT_EQ(log.names(), (std::vector<std::string>{"b", "c", "a"}));
}

TEST_F(TimerTest, TimersCoalesceWithinLeewayButNeverFireEarly) {
    TimerSource early(queue, log.record("early"));
    TimerSource late(queue, log.record("late"));
    TimerSource alone(queue, log.record("alone"));
    early.schedule(dispatch::afterNow(10s), 0s, 5s); // may wait until 15 s
    late.schedule(dispatch::afterNow(12s));          // exactly 12 s
    alone.schedule(dispatch::afterNow(30s), 0s, 10s);
    clock().advance(1min);
    auto fired = log.fired();
    ASSERT_EQ(fired.size(), 3u);
    EXPECT_EQ(fired[0], std::make_pair(std::string("early"), start + 12s));
    EXPECT_EQ(fired[1], std::make_pair(std::string("late"), start + 12s));
    // Nothing to join: fires at its own deadline.
    EXPECT_EQ(fired[2], std::make_pair(std::string("alone"), start + 30s));
}

TEST_F(TimerTest, TimersArmedByHandlersFireWithinTheSameAdvance) {
    int hops = 0;
    std::function<void()> hop = [&] {
        log.record("hop")();
        if (++hops < 5) {
            dispatch::after(1s, queue, hop);
        }
    };
    dispatch::after(1s, queue, hop);
    clock().advance(10s);
    auto fired = log.fired();
    ASSERT_EQ(fired.size(), 5u);
    for (size_t i = 0; i < fired.size(); ++i) {
        EXPECT_EQ(fired[i].second, start + std::chrono::seconds(i + 1));
    }
}

TEST_F(TimerTest, WallTimersFollowSuspendAndClockChangesMonotonicOnesDoNot) {
    TimerSource wall(queue, log.record("wall"));
    TimerSource mono(queue, log.record("mono"));
    wall.schedule(dispatch::wallAfterNow(60s));
    mono.schedule(dispatch::afterNow(60s));

    clock().suspend(2min); // asleep: only the wall clock moves
    EXPECT_EQ(log.names(), std::vector<std::string>{"wall"});
    EXPECT_EQ(log.fired()[0].second, start) << "fired at once on resume";
    clock().advance(59s);
    EXPECT_EQ(log.fired().size(), 1u);
    clock().advance(1s);
    EXPECT_EQ(log.names(), (std::vector<std::string>{"wall", "mono"}));

    // The clock is set forward past a wall deadline; a monotonic one is unaffected.
    wall.schedule(dispatch::wallAfterNow(1h));
    mono.schedule(dispatch::afterNow(1h));
    clock().setWall(dispatch::wallNow() + 2h);
    EXPECT_EQ(log.names(), (std::vector<std::string>{"wall", "mono", "wall"}));
    // Set back: a wall deadline moves away again.
    wall.schedule(dispatch::wallAfterNow(10min));
    clock().setWall(dispatch::wallNow() - 1h);
    clock().advance(59min);
    EXPECT_EQ(log.names(), (std::vector<std::string>{"wall", "mono", "wall"}));
    clock().advance(1min);
    EXPECT_EQ(log.names(), (std::vector<std::string>{"wall", "mono", "wall", "mono"}));
}

TEST_F(TimerTest, AfterAtAWallDeadline) {
    bool fired = false;
    dispatch::after(Deadline::wall(dispatch::wallNow() + 3s), queue, [&] { fired = true; });
    clock().advance(2s);
    EXPECT_FALSE(fired);
    clock().advance(1s);
    EXPECT_TRUE(fired);
}

TEST_F(TimerTest, NothingStartsAfterACancelFromAnotherThread) {
    std::atomic<int> runs{0};
    TimerSource timer(queue, [&] { ++runs; });
    timer.schedule(dispatch::afterNow(1ms), 1ms);
    std::thread canceller([&] { timer.cancel(); });
    for (int i = 0; i < 100; ++i) {
        clock().advance(1ms);
    }
    canceller.join();
    clock().drain();
    int settled = runs.load();
    clock().advance(1s);
    EXPECT_EQ(runs.load(), settled);
}

} // namespace

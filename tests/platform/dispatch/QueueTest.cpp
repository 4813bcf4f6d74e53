#include "platform/dispatch/Queue.h"

#include "platform/dispatch/Group.h"
#include "platform/dispatch/LockQueue.h"
#include "platform/dispatch/VirtualClock.h"
#include "tests/support/Gate.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

using dispatch::SerialQueue;

dispatch::VirtualClock& clock() {
    return dispatch::VirtualClock::install();
}

TEST(QueueTest, QueuesSharingATargetRunOneItemAtATimeInSubmissionOrder) {
    auto target = SerialQueue::create("com.vornhal.test.target");
    auto a = SerialQueue::create("com.vornhal.test.a", target);
    auto b = SerialQueue::create("com.vornhal.test.b", target);
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::vector<int> orderA, orderB;
    auto item = [&](std::vector<int>& order, int i) {
        return [&, i] {
            if (inside.fetch_add(1) != 0) {
                overlapped = true;
            }
            order.push_back(i);
            inside.fetch_sub(1);
        };
    };
    // Submitted from two threads at once, so that the target really is contended.
    std::thread other([&] {
        for (int i = 0; i < 2000; ++i) {
            b->async(item(orderB, i));
        }
    });
    for (int i = 0; i < 2000; ++i) {
        a->async(item(orderA, i));
        target->async([&] {
            if (inside.fetch_add(1) != 0) {
                overlapped = true;
            }
            inside.fetch_sub(1);
        });
    }
    other.join();
    clock().drain();
    EXPECT_FALSE(overlapped);
    ASSERT_EQ(orderA.size(), 2000u);
    ASSERT_EQ(orderB.size(), 2000u);
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(orderA[i], i);
        ASSERT_EQ(orderB[i], i);
    }
}

TEST(QueueTest, SyncFromAnotherThreadWaitsForTheItem) {
    auto queue = SerialQueue::create("com.vornhal.test.sync");
    auto child = SerialQueue::create("com.vornhal.test.sync.child", queue);
    int value = 0;
    queue->async([&] { value = 1; });
    child->sync([&] { value *= 10; });
    EXPECT_EQ(value, 10);
    EXPECT_FALSE(queue->isCurrent());
    bool current = false;
    child->sync([&] { current = queue->isCurrent() && child->isCurrent(); });
    EXPECT_TRUE(current);
}

TEST(QueueDeathTest, SyncFromInsideTheTargetHierarchyIsDiagnosed) {
    EXPECT_DEATH(
        {
            auto queue = SerialQueue::create("com.vornhal.test.self");
            queue->sync([&] { queue->sync([] {}); });
        },
        "sync on queue \"com.vornhal.test.self\" from inside its target hierarchy");
    EXPECT_DEATH(
        {
            auto main = SerialQueue::create("com.vornhal.test.main");
            auto child = SerialQueue::create("com.vornhal.test.child", main);
            main->sync([&] { child->sync([] {}); });
        },
        "\"com.vornhal.test.main\" is running on this thread");
}

TEST(QueueTest, ConcurrentQueueMaySyncOnItself) {
    std::atomic<int> ran{0};
    dispatch::globalQueue()->sync([&] { dispatch::globalQueue()->sync([&] { ++ran; }); });
    EXPECT_EQ(ran, 1);
}

TEST(QueueTest, ABlockingItemDoesNotStallOtherQueues) {
    auto blocked = SerialQueue::create("com.vornhal.test.blocked");
    auto other = SerialQueue::create("com.vornhal.test.other");
    testsupport::Gate release;
    std::atomic<bool> otherRan{false};
    blocked->async([&] { release.pass(); });
    other->sync([&] { otherRan = true; });
    release.open();
    clock().drain();
    EXPECT_TRUE(otherRan);
}

TEST(LockQueueTest, SerialisesAndDiagnosesReentry) {
    dispatch::LockQueue lock("com.vornhal.test.lock");
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                lock.sync([&] { ++counter; });
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(counter, 40000);
    EXPECT_EQ(lock.sync([&] { return lock.isHeldByCurrentThread(); }), true);
    EXPECT_FALSE(lock.isHeldByCurrentThread());
    EXPECT_DEATH(lock.sync([&] { lock.sync([] {}); }),
                 "\"com.vornhal.test.lock\" from the thread that holds it would wait for itself");
}

TEST(GroupTest, NotifiesOnceEveryMemberHasLeft) {
    auto queue = SerialQueue::create("com.vornhal.test.group");
    dispatch::Group group;
    std::atomic<int> done{0};
    std::atomic<int> notifiedAfter{-1};
    group.enter();
    for (int i = 0; i < 10; ++i) {
        group.async(dispatch::globalQueue(), [&] { ++done; });
    }
    group.notify(queue, [&] { notifiedAfter = done.load(); });
    clock().drain();
    EXPECT_EQ(notifiedAfter, -1) << "notified while a member was still inside";
    group.leave();
    clock().drain();
    EXPECT_EQ(notifiedAfter, 10);

    bool immediately = false;
    dispatch::Group empty;
    empty.notify(queue, [&] { immediately = true; });
    clock().drain();
    EXPECT_TRUE(immediately);
    EXPECT_DEATH(empty.leave(), "group left more often than entered");
}

} // namespace

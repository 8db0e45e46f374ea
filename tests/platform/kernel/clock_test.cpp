#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/kernel/ntddk.h"
#include "platform/kernel/clock.h"
#include "platform/machine/machine.h"

namespace {

using platform::Milliseconds;
using platform::Seconds;

// Streaming depends on every frame running once, in order, at DISPATCH_LEVEL.
TEST(VirtualClockTest, RunsEachFrameOnceInOrder) {
    platform::Machine machine;
    platform::Clock& clock = machine.clock();
    std::vector<uint64_t> frames;
    std::vector<KIRQL> levels;
    clock.add_frame_listener([&](uint64_t frame) {
        frames.push_back(frame);
        levels.push_back(KeGetCurrentIrql());
    });
    clock.run_for(Milliseconds(5) + 5'000);
    ASSERT_EQ(frames, (std::vector<uint64_t>{1, 2, 3, 4, 5}));
    for (KIRQL level : levels) EXPECT_EQ(level, DISPATCH_LEVEL);
    EXPECT_EQ(clock.now(), Milliseconds(5) + 5'000);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// A timer scheduled from inside another callback must still run at its own time, not be lost or run early.
TEST(VirtualClockTest, TimersRunAtTheirTimeEvenWhenScheduledOnTheWay) {
    platform::Machine machine;
    platform::Clock& clock = machine.clock();
    std::vector<std::pair<int, uint64_t>> fired;
    clock.schedule_at(Milliseconds(3), [&] {
        fired.emplace_back(1, clock.now());
        clock.schedule_at(clock.now() + 2'500, [&] { fired.emplace_back(2, clock.now()); });
    });
    uint64_t cancelled = clock.schedule_at(Milliseconds(4), [&] { fired.emplace_back(3, clock.now()); });
    EXPECT_TRUE(clock.cancel(cancelled));
    clock.run_for(Milliseconds(10));
    ASSERT_EQ(fired.size(), 2u);
    EXPECT_EQ(fired[0], std::make_pair(1, Milliseconds(3)));
    EXPECT_EQ(fired[1], std::make_pair(2, Milliseconds(3) + 2'500));
}

// Frames that find no timer due skip the clock's lock: a timer a listener
// schedules for the next boundary, a timer cancelled before its frame, and
// listeners added or removed from a frame must each still be seen by the very
// next frame (not run late, not run at all, not missed, not called once more).
TEST(VirtualClockTest, ChangesMadeInsideAFrameReachTheNextFrame) {
    platform::Machine machine;
    platform::Clock& clock = machine.clock();
    std::vector<std::pair<char, uint64_t>> seen;
    uint64_t late = 0;
    uint64_t added = 0;
    uint64_t first = clock.add_frame_listener([&](uint64_t frame) {
        seen.emplace_back('a', frame);
        if (frame == 2) {
            clock.schedule_at(Milliseconds(3), [&] { seen.emplace_back('t', clock.now() / Milliseconds(1)); });
            late = clock.schedule_at(Milliseconds(4), [&] { seen.emplace_back('x', clock.now()); });
            added = clock.add_frame_listener([&](uint64_t f) { seen.emplace_back('b', f); });
        }
        if (frame == 3) {
            EXPECT_TRUE(clock.cancel(late));
        }
        if (frame == 4) clock.remove_frame_listener(added);
    });
    clock.run_for(Milliseconds(5));
    clock.remove_frame_listener(first);
    clock.run_for(Milliseconds(2));
    std::vector<std::pair<char, uint64_t>> expected{{'a', 1}, {'a', 2}, {'t', 3}, {'a', 3}, {'b', 3},
                                                     {'a', 4}, {'b', 4}, {'a', 5}};
    EXPECT_EQ(seen, expected);
}

// A kernel wait with a timeout on a virtual clock moves time itself and ends exactly at its deadline.
TEST(VirtualClockTest, TimedWaitAdvancesToItsDeadline) {
    platform::Machine machine;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(Seconds(2));
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(KeQueryInterruptTime(), Seconds(2));
}

// An event signalled by something on the clock (a device reply, say) ends the wait at that moment.
TEST(VirtualClockTest, TimedWaitEndsWhenAnEventOnTheClockSignals) {
    platform::Machine machine;
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    machine.clock().schedule_at(Milliseconds(500), [&] { KeSetEvent(&event, 0, FALSE); });
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(Seconds(2));
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    EXPECT_EQ(KeQueryInterruptTime(), Milliseconds(500));
    // A synchronisation event resets itself when a wait takes it.
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

// Delays on the virtual clock run the frames they skip, so USB work keeps its order.
TEST(VirtualClockTest, DelayRunsTheFramesItSkips) {
    platform::Machine machine;
    unsigned frames = 0;
    machine.clock().add_frame_listener([&](uint64_t) { ++frames; });
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(Milliseconds(100));
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    EXPECT_EQ(frames, 100u);
    EXPECT_EQ(KeQueryInterruptTime(), Milliseconds(100));
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
    EXPECT_EQ(frequency.QuadPart, 10'000'000);
    EXPECT_EQ(counter.QuadPart, static_cast<LONGLONG>(Milliseconds(100)));
}

// Several threads waiting on the virtual clock at once must each wake at their own deadline, without deadlock.
TEST(VirtualClockTest, ConcurrentTimedWaitersEachReachTheirDeadline) {
    platform::Machine machine;
    constexpr int kThreads = 4;
    std::vector<uint64_t> woke(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            LARGE_INTEGER timeout;
            timeout.QuadPart = -static_cast<LONGLONG>(Milliseconds(10 * (i + 1)));
            EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
            woke[i] = KeQueryInterruptTime();
        });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < kThreads; ++i) EXPECT_GE(woke[i], Milliseconds(10 * (i + 1)));
    EXPECT_GE(KeQueryInterruptTime(), Milliseconds(40));
}

// A notification event stays signalled for every waiter until it is cleared.
TEST(EventsTest, NotificationEventReleasesEveryWaiter) {
    platform::Machine machine;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] { EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS); });
    }
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
    for (auto& t : waiters) t.join();
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

}  // namespace

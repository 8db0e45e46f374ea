// Idle frame listeners: a real-time machine with nothing on its bus sleeps
// until its next timer instead of waking every millisecond; a virtual one
// runs every frame regardless, so tests see the same frames.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/kernel/clock.h"

namespace {

using platform::Clock;
using platform::Milliseconds;

// Frame numbers a listener saw, and a way to wait for the next one.
struct FrameLog {
    std::mutex lock;
    std::condition_variable seen;
    std::vector<uint64_t> frames;

    void add(uint64_t frame) {
        std::lock_guard guard(lock);
        frames.push_back(frame);
        seen.notify_all();
    }
    size_t count() {
        std::lock_guard guard(lock);
        return frames.size();
    }
};

// Idleness changes nothing on the virtual clock (a test would otherwise miss frames).
TEST(ClockIdleTest, VirtualClockRunsEveryFrameOfIdleListeners) {
    Clock clock(Clock::Mode::Virtual);
    FrameLog log;
    uint64_t id = clock.add_frame_listener([&](uint64_t frame) { log.add(frame); });
    clock.set_listener_idle(id, true);
    EXPECT_TRUE(clock.listeners_idle());
    clock.run_for(Milliseconds(10));
    EXPECT_EQ(log.count(), 10u);
}

// While every listener is idle the real-time scheduler runs no frame (it woke
// every millisecond), timers still fire, and frames resume at the next
// boundary once a listener needs them, without a burst of the ones slept through.
TEST(ClockIdleTest, RealTimeSchedulerSleepsWhileListenersAreIdle) {
    Clock clock(Clock::Mode::RealTime);
    FrameLog log;
    uint64_t id = clock.add_frame_listener([&](uint64_t frame) { log.add(frame); });
    clock.set_listener_idle(id, true);
    clock.start();
    constexpr uint64_t kIdleMs = 30;
    constexpr auto kPatience = std::chrono::seconds(10);  // only a broken scheduler waits this long
    size_t before = log.count();
    std::mutex lock;
    std::condition_variable fired;
    bool timer = false;
    clock.schedule_at(clock.now() + Milliseconds(kIdleMs), [&] {
        std::lock_guard guard(lock);
        timer = true;
        fired.notify_all();
    });
    {
        std::unique_lock guard(lock);
        ASSERT_TRUE(fired.wait_for(guard, kPatience, [&] { return timer; })) << "a timer must fire while idle";
    }
    EXPECT_EQ(log.count(), before) << "no frame runs while every listener is idle";
    uint64_t resumedAt = clock.frame();
    clock.set_listener_idle(id, false);
    {
        std::unique_lock guard(log.lock);
        ASSERT_TRUE(log.seen.wait_for(guard, kPatience, [&] { return log.frames.size() > before; }));
        EXPECT_GE(log.frames[before], resumedAt) << "frames slept through are not run late";
    }
    clock.stop();
}

}  // namespace

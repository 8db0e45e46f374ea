// The machine clock in real-time mode when its scheduler is held up (the
// program is not given the processor, or a frame takes long): the hardware's
// frame number is the frame being run, no frame is skipped or run twice, and
// time never goes back, whether the scheduler catches up or the time slips.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/kernel/clock.h"

namespace {

using platform::Clock;

struct Seen {
    uint64_t frame;     // the number the listener was given
    uint64_t reported;  // the clock's frame number inside the listener
    uint64_t now;
};

// A frame held up for many milliseconds: the frames after it run in order, each seeing its own number.
TEST(RealTimeClockTest, AHeldUpSchedulerSkipsNoFrameAndNeverGoesBack) {
    Clock clock(Clock::Mode::RealTime);
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Seen> seen;
    bool holding = false;
    bool released = false;
    clock.add_frame_listener([&](uint64_t frame) {
        std::unique_lock guard(lock);
        seen.push_back(Seen{frame, clock.frame(), clock.now()});
        if (seen.size() == 5) {
            holding = true;
            changed.notify_all();
            changed.wait(guard, [&] { return released; });
        }
        changed.notify_all();
    });
    clock.start();
    {
        std::unique_lock guard(lock);
        changed.wait(guard, [&] { return holding; });
    }
    // Readers meanwhile see the time stand at the frame that is held up.
    uint64_t before = clock.now();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // the hold-up itself, not a wait for a result
    uint64_t during = clock.now();
    EXPECT_GE(during, before);
    EXPECT_LT(during / platform::kTicksPerMillisecond, seen[4].frame + 1) << "not past the frame being run";
    {
        std::unique_lock guard(lock);
        released = true;
        changed.notify_all();
        changed.wait(guard, [&] { return seen.size() >= 40; });
    }
    clock.stop();
    EXPECT_GE(clock.now(), during);
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].reported, seen[i].frame) << "frame " << i;
        if (i == 0) continue;
        EXPECT_EQ(seen[i].frame, seen[i - 1].frame + 1) << "no frame skipped or run twice";
        EXPECT_GE(seen[i].now, seen[i - 1].now) << "time never goes back";
    }
}

}  // namespace

// The machine clock: interrupt time in 100 ns units since boot, with a 1 ms
// USB frame counter. Virtual mode stands still until advanced (tests,
// benchmarks); real-time mode runs a scheduler thread at wall-clock pace.
// Frame listeners and timers run at DISPATCH_LEVEL on whichever thread
// advances the clock, one advancer at a time, in time order.
//
// In real-time mode the machine's time never passes a frame boundary before
// that frame has run, so the frame number the hardware reports is the frame
// being run. A scheduler that falls far behind (the program was not given the
// processor) does not race through the frames it missed: the machine's time
// slips, as a paused virtual machine's does, since the simulated hardware
// stood still with the simulation.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {

inline constexpr uint64_t kTicksPerMicrosecond = 10;
inline constexpr uint64_t kTicksPerMillisecond = 10'000;
inline constexpr uint64_t kTicksPerSecond = 10'000'000;

constexpr uint64_t Milliseconds(uint64_t ms) { return ms * kTicksPerMillisecond; }
constexpr uint64_t Seconds(uint64_t s) { return s * kTicksPerSecond; }

class Clock {
public:
    enum class Mode { Virtual, RealTime };
    using FrameListener = std::function<void(uint64_t frame)>;
    using TimerFn = std::function<void()>;

    explicit Clock(Mode mode);
    ~Clock();
    Clock(const Clock&) = delete;
    Clock& operator=(const Clock&) = delete;

    Mode mode() const { return mode_; }
    bool is_virtual() const { return mode_ == Mode::Virtual; }

    // Interrupt time, 100 ns units since boot.
    uint64_t now() const;
    // The USB frame (1 ms) that is running now.
    uint64_t frame() const { return now() / kTicksPerMillisecond; }

    // Virtual mode: moves time forward, running every frame boundary and timer
    // that falls due on the way. A call from another thread may have moved time
    // further already; then these return at once.
    void run_for(uint64_t duration);
    void run_until(uint64_t time);
    // Moves time towards `limit`, stopping at (and running) the first due item.
    // Used by timed kernel waits, which re-check their object after each step.
    void step_towards(uint64_t limit);

    // Called at every frame boundary with the number of the frame that begins.
    uint64_t add_frame_listener(FrameListener listener);
    void remove_frame_listener(uint64_t id);
    // Real-time mode: while every listener says it is idle, the scheduler
    // sleeps until the next timer instead of waking each frame; a listener
    // that stops being idle has frames again from the next boundary on. In
    // virtual mode every frame runs regardless, so tests see the same frames.
    void set_listener_idle(uint64_t id, bool idle);
    // True while there are listeners and every one of them is idle.
    bool listeners_idle() const;
    // One-shot callback when time reaches `time`.
    uint64_t schedule_at(uint64_t time, TimerFn fn);
    bool cancel(uint64_t id);

    // Real-time mode: starts and stops the scheduler thread.
    void start();
    void stop();

    // Wall-clock instant matching interrupt time `time` (real-time mode).
    std::chrono::steady_clock::time_point wall_time_of(uint64_t time) const;

private:
    struct Timer {
        uint64_t id;
        TimerFn fn;
    };

    // Runs everything due at exactly `time` (time already set). Caller holds advanceLock_.
    void run_due(uint64_t time, bool frameBoundary);
    // Real-time mode: wall-clock time less the slip, not held at the horizon.
    uint64_t running_time() const;
    uint64_t next_due_after_now() const;  // caller holds lock_
    bool frames_wanted() const;           // caller holds lock_
    // Caller holds lock_. Frames stopped or started being wanted: while none
    // is, time runs free (no horizon); when they resume, they start at the
    // next boundary, not with the ones slept through.
    void frames_wanted_changed(bool wanted);
    void listeners_changed();  // caller holds lock_: the listeners were added to or removed
    void timers_changed();     // caller holds lock_: timers_ was added to or taken from
    // The listeners a frame runs, as the advancer last took them; caller holds advanceLock_.
    const std::shared_ptr<const std::vector<FrameListener>>& advancer_listeners();
    // Runs the timers due by `time`, in order; at a frame boundary, sets
    // `*listeners` to the frame's listeners in the same look as the last check.
    void run_timers_due(uint64_t time, bool frameBoundary,
                        std::shared_ptr<const std::vector<FrameListener>>* listeners);
    static void run_listeners(const std::vector<FrameListener>& listeners, uint64_t time);
    void scheduler_main();

    const Mode mode_;
    std::atomic<uint64_t> virtualNow_{0};  // virtual mode; written under advanceLock_, read relaxed
    std::chrono::steady_clock::time_point bootWall_;

    std::mutex advanceLock_;               // one advancer at a time
    mutable std::mutex lock_;              // guards the fields below
    std::map<uint64_t, FrameListener> frameListeners_;
    // The listeners as a frame runs them, rebuilt when they change (a frame
    // takes a reference instead of copying them); guarded by lock_.
    std::shared_ptr<const std::vector<FrameListener>> listenerSnapshot_;
    std::map<uint64_t, bool> idleListeners_;  // real-time mode: listeners that need no frames now
    std::multimap<uint64_t, Timer> timers_;  // by due time
    // The first timer's due time (UINT64_MAX with none), stored under lock_ with
    // every change of timers_: a step that finds no timer due by its frame
    // reads it instead of taking lock_.
    std::atomic<uint64_t> firstTimer_{UINT64_MAX};
    // Bumped under lock_ whenever listenerSnapshot_ is rebuilt; the advancer
    // keeps its own reference and takes a new one only when this moved.
    std::atomic<uint64_t> listenerVersion_{0};
    std::shared_ptr<const std::vector<FrameListener>> advancerListeners_;  // guarded by advanceLock_
    uint64_t advancerVersion_ = UINT64_MAX;                                 // guarded by advanceLock_
    uint64_t nextId_ = 1;
    uint64_t lastFrameRun_ = 0;            // real-time mode: last frame boundary handled

    // Real-time mode. The slip only grows; the horizon is the next frame
    // boundary not yet run (no limit while no scheduler runs). The slip is
    // stored before the horizon moves, both with release order, and read
    // after it with acquire order, so the time read never goes back.
    std::atomic<uint64_t> slip_{0};
    std::atomic<uint64_t> horizon_{UINT64_MAX};
    bool paced_ = false;  // guarded by lock_: the scheduler runs the frames (between start and stop)

    std::thread scheduler_;
    std::condition_variable schedulerWake_;
    bool stopping_ = false;
};

}  // namespace platform

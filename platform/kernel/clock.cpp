#include "clock.h"

#include <algorithm>

#include "platform/kernel/irql.h"
#include "platform/kernel/rules.h"

namespace platform {

namespace {

// How far behind the wall clock the scheduler catches up by running frames
// back to back; beyond it the machine's time slips instead.
constexpr uint64_t kCatchUpTicks = 4 * kTicksPerMillisecond;

}  // namespace

Clock::Clock(Mode mode) : mode_(mode), bootWall_(std::chrono::steady_clock::now()) {}

Clock::~Clock() { stop(); }

uint64_t Clock::running_time() const {
    auto elapsed = std::chrono::steady_clock::now() - bootWall_;
    auto ticks = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100);
    return ticks - slip_.load(std::memory_order_acquire);
}

uint64_t Clock::now() const {
    if (mode_ == Mode::Virtual) return virtualNow_.load(std::memory_order_acquire);
    uint64_t horizon = horizon_.load(std::memory_order_acquire);
    uint64_t time = running_time();
    return time < horizon ? time : horizon - 1;
}

std::chrono::steady_clock::time_point Clock::wall_time_of(uint64_t time) const {
    return bootWall_ + std::chrono::nanoseconds((time + slip_.load(std::memory_order_acquire)) * 100);
}

uint64_t Clock::next_due_after_now() const {
    uint64_t current = virtualNow_.load(std::memory_order_relaxed);
    uint64_t nextFrame = (current / kTicksPerMillisecond + 1) * kTicksPerMillisecond;
    if (!timers_.empty() && timers_.begin()->first < nextFrame) {
        return std::max(timers_.begin()->first, current);
    }
    return nextFrame;
}

void Clock::run_due(uint64_t time, bool frameBoundary) {
    DispatchLevelScope dispatch;
    std::shared_ptr<const std::vector<FrameListener>> listeners;
    run_timers_due(time, frameBoundary, &listeners);
    if (frameBoundary && listeners != nullptr) run_listeners(*listeners, time);
}

void Clock::run_listeners(const std::vector<FrameListener>& listeners, uint64_t time) {
    uint64_t frameNumber = time / kTicksPerMillisecond;
    for (const FrameListener& listener : listeners) listener(frameNumber);
}

void Clock::run_timers_due(uint64_t time, bool frameBoundary,
                           std::shared_ptr<const std::vector<FrameListener>>* listeners) {
    for (;;) {
        Timer timer;
        {
            std::lock_guard lock(lock_);
            auto it = timers_.begin();
            if (it == timers_.end() || it->first > time) {
                // Taken in the same look as the last timer check: one lock a frame when nothing else is due.
                if (frameBoundary) *listeners = listenerSnapshot_;
                return;
            }
            timer = std::move(it->second);
            timers_.erase(it);
            timers_changed();
        }
        timer.fn();
    }
}

void Clock::listeners_changed() {
    auto snapshot = std::make_shared<std::vector<FrameListener>>();
    snapshot->reserve(frameListeners_.size());
    for (auto& [id, listener] : frameListeners_) snapshot->push_back(listener);
    listenerSnapshot_ = std::move(snapshot);
    listenerVersion_.fetch_add(1, std::memory_order_release);
}

void Clock::timers_changed() {
    firstTimer_.store(timers_.empty() ? UINT64_MAX : timers_.begin()->first, std::memory_order_release);
}

void Clock::step_towards(uint64_t limit) {
    if (mode_ != Mode::Virtual) {
        rule_violation("clock", "step_towards on a real-time clock");
        return;
    }
    std::lock_guard advance(advanceLock_);
    uint64_t current = virtualNow_.load(std::memory_order_relaxed);
    if (current >= limit) return;
    uint64_t due = (current / kTicksPerMillisecond + 1) * kTicksPerMillisecond;
    bool timersDue = false;
    // Streaming runs a frame each step with no timer due by it: then the
    // first timer's time says so without lock_ (a timer scheduled after this
    // look runs with the next step, as one scheduled after the lock would).
    if (firstTimer_.load(std::memory_order_acquire) <= due) {
        std::lock_guard lock(lock_);
        due = next_due_after_now();
        timersDue = !timers_.empty() && timers_.begin()->first <= due;
    }
    if (due > limit) {
        virtualNow_.store(limit, std::memory_order_release);
        return;
    }
    virtualNow_.store(due, std::memory_order_release);
    bool frameBoundary = due % kTicksPerMillisecond == 0 && due != current;
    if (timersDue) {
        run_due(due, frameBoundary);
    } else if (frameBoundary) {
        // The advancer's own reference: it lives until the listeners change
        // and a later step (under advanceLock_, so not this one) takes anew.
        const std::vector<FrameListener>* listeners = advancer_listeners().get();
        if (listeners != nullptr) {
            DispatchLevelScope dispatch;
            run_listeners(*listeners, due);
        }
    }
}

const std::shared_ptr<const std::vector<Clock::FrameListener>>& Clock::advancer_listeners() {
    if (listenerVersion_.load(std::memory_order_acquire) != advancerVersion_) {
        std::lock_guard lock(lock_);
        advancerListeners_ = listenerSnapshot_;
        advancerVersion_ = listenerVersion_.load(std::memory_order_relaxed);
    }
    return advancerListeners_;
}

void Clock::run_until(uint64_t time) {
    if (mode_ != Mode::Virtual) {
        rule_violation("clock", "run_until on a real-time clock");
        return;
    }
    while (now() < time) step_towards(time);
    // Timers scheduled for exactly `time` by the last step still belong to it.
    std::lock_guard advance(advanceLock_);
    bool due = firstTimer_.load(std::memory_order_acquire) <= virtualNow_.load(std::memory_order_relaxed);
    if (due) run_due(virtualNow_.load(std::memory_order_relaxed), false);
}

void Clock::run_for(uint64_t duration) { run_until(now() + duration); }

uint64_t Clock::add_frame_listener(FrameListener listener) {
    uint64_t id;
    {
        std::lock_guard lock(lock_);
        id = nextId_++;
        bool wanted = frames_wanted();
        frameListeners_.emplace(id, std::move(listener));
        listeners_changed();
        if (!wanted && frames_wanted()) frames_wanted_changed(true);
    }
    schedulerWake_.notify_all();
    return id;
}

void Clock::remove_frame_listener(uint64_t id) {
    // Taking advanceLock_ guarantees the listener is not running once we return
    // (unless the caller is the advancing thread itself).
    std::unique_lock advance(advanceLock_, std::try_to_lock);
    std::lock_guard lock(lock_);
    bool wanted = frames_wanted();
    frameListeners_.erase(id);
    listeners_changed();
    idleListeners_.erase(id);
    if (wanted && !frames_wanted()) frames_wanted_changed(false);
}

void Clock::frames_wanted_changed(bool wanted) {
    if (!paced_) return;
    if (!wanted) {
        horizon_.store(UINT64_MAX, std::memory_order_release);
        return;
    }
    lastFrameRun_ = running_time() / kTicksPerMillisecond;
    horizon_.store((lastFrameRun_ + 1) * kTicksPerMillisecond, std::memory_order_release);
}

bool Clock::frames_wanted() const {
    for (const auto& [id, listener] : frameListeners_) {
        auto it = idleListeners_.find(id);
        if (it == idleListeners_.end() || !it->second) return true;
    }
    return false;
}

bool Clock::listeners_idle() const {
    std::lock_guard lock(lock_);
    return !frameListeners_.empty() && !frames_wanted();
}

void Clock::set_listener_idle(uint64_t id, bool idle) {
    {
        std::lock_guard lock(lock_);
        if (frameListeners_.count(id) == 0) return;
        bool wanted = frames_wanted();
        idleListeners_[id] = idle;
        if (wanted != frames_wanted()) frames_wanted_changed(!wanted);
    }
    if (!idle) schedulerWake_.notify_all();
}

uint64_t Clock::schedule_at(uint64_t time, TimerFn fn) {
    uint64_t id;
    {
        std::lock_guard lock(lock_);
        id = nextId_++;
        timers_.emplace(time, Timer{id, std::move(fn)});
        timers_changed();
    }
    schedulerWake_.notify_all();
    return id;
}

bool Clock::cancel(uint64_t id) {
    std::lock_guard lock(lock_);
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
        if (it->second.id == id) {
            timers_.erase(it);
            timers_changed();
            return true;
        }
    }
    return false;
}

void Clock::start() {
    if (mode_ != Mode::RealTime || scheduler_.joinable()) return;
    {
        std::lock_guard lock(lock_);
        stopping_ = false;
        paced_ = true;
        lastFrameRun_ = now() / kTicksPerMillisecond;
        if (frames_wanted()) horizon_.store((lastFrameRun_ + 1) * kTicksPerMillisecond, std::memory_order_release);
    }
    scheduler_ = std::thread([this] { scheduler_main(); });
}

void Clock::stop() {
    {
        std::lock_guard lock(lock_);
        stopping_ = true;
        paced_ = false;
    }
    schedulerWake_.notify_all();
    if (scheduler_.joinable()) scheduler_.join();
    // Nothing runs the frames any more: time goes on without them.
    horizon_.store(UINT64_MAX, std::memory_order_release);
}

void Clock::scheduler_main() {
    std::unique_lock lock(lock_);
    while (!stopping_) {
        // With every listener idle no frame boundary is due: only timers wake the scheduler.
        bool framesWanted = frames_wanted();
        uint64_t nextFrameTime = (lastFrameRun_ + 1) * kTicksPerMillisecond;
        uint64_t wake = framesWanted ? nextFrameTime : UINT64_MAX;
        if (!timers_.empty()) wake = std::min(wake, timers_.begin()->first);
        if (running_time() < wake) {
            if (wake == UINT64_MAX) {
                schedulerWake_.wait(lock);
            } else {
                schedulerWake_.wait_until(lock, wall_time_of(wake));
            }
            continue;
        }
        lock.unlock();
        bool frame;
        {
            std::lock_guard advance(advanceLock_);
            uint64_t current = running_time();
            frame = framesWanted && current >= nextFrameTime;
            if (frame) {
                if (current - nextFrameTime > kCatchUpTicks) {
                    slip_.fetch_add(current - nextFrameTime, std::memory_order_release);
                }
                horizon_.store(nextFrameTime + kTicksPerMillisecond, std::memory_order_release);
            }
            // While frames are wanted, time stays short of the boundary not yet run.
            run_due(frame ? nextFrameTime : framesWanted ? std::min(current, nextFrameTime - 1) : current, frame);
        }
        lock.lock();
        // A listener that woke from idle meanwhile may have moved it on already.
        if (frame) lastFrameRun_ = std::max(lastFrameRun_, nextFrameTime / kTicksPerMillisecond);
        // Every listener went idle while that frame ran: its horizon must not hold time back.
        if (frame && !frames_wanted()) horizon_.store(UINT64_MAX, std::memory_order_release);
    }
}

}  // namespace platform

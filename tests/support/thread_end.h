// Test equipment: tells a waiter once a thread has ended altogether, for
// threads a test has no handle of (a library's or a callback's own).
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace vexa::test {

// Tells a waiter once the thread that armed it has ended altogether (its
// thread-local objects go last, after the thread has let go of its process).
class ThreadEnd {
public:
    // Called on the thread to watch.
    void arm() { t_watch = std::make_unique<Watch>(this); }
    bool wait() {
        std::unique_lock lock(lock_);
        return ended_cv_.wait_for(lock, std::chrono::seconds(20), [&] { return ended_; });
    }

private:
    struct Watch {
        explicit Watch(ThreadEnd* end) : end_(end) {}
        ~Watch() {
            std::lock_guard lock(end_->lock_);
            end_->ended_ = true;
            end_->ended_cv_.notify_all();
        }
        ThreadEnd* end_;
    };
    static inline thread_local std::unique_ptr<Watch> t_watch;

    std::mutex lock_;
    std::condition_variable ended_cv_;
    bool ended_ = false;
};

}  // namespace vexa::test

// System worker threads: work items and PnP notifications run here at
// PASSIVE_LEVEL. Tests wait for the queue to go idle instead of sleeping.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {

class WorkQueue {
public:
    explicit WorkQueue(unsigned threads);
    ~WorkQueue();
    WorkQueue(const WorkQueue&) = delete;
    WorkQueue& operator=(const WorkQueue&) = delete;

    void post(std::function<void()> task);
    // Blocks until nothing is queued or running (tasks posted meanwhile included).
    void drain();
    // True when the calling thread is one of this queue's workers.
    bool on_worker_thread() const;

private:
    void worker_main();

    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<std::function<void()>> tasks_;  // guarded by lock_
    unsigned running_ = 0;                     // guarded by lock_
    bool stopping_ = false;                    // guarded by lock_
    std::vector<std::thread> threads_;
};

}  // namespace platform

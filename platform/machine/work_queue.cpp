#include "work_queue.h"

#include <algorithm>

namespace platform {

WorkQueue::WorkQueue(unsigned threads) {
    for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { worker_main(); });
}

WorkQueue::~WorkQueue() {
    {
        std::lock_guard lock(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_) t.join();
}

void WorkQueue::post(std::function<void()> task) {
    {
        std::lock_guard lock(lock_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void WorkQueue::drain() {
    std::unique_lock lock(lock_);
    idle_.wait(lock, [this] { return tasks_.empty() && running_ == 0; });
}

bool WorkQueue::on_worker_thread() const {
    auto me = std::this_thread::get_id();
    return std::any_of(threads_.begin(), threads_.end(), [&](const std::thread& t) { return t.get_id() == me; });
}

void WorkQueue::worker_main() {
    std::unique_lock lock(lock_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) return;  // stopping, and nothing left to run
        auto task = std::move(tasks_.front());
        tasks_.pop_front();
        ++running_;
        lock.unlock();
        task();
        lock.lock();
        --running_;
        if (tasks_.empty() && running_ == 0) idle_.notify_all();
    }
}

}  // namespace platform

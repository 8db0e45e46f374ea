// Test equipment for the device-access library: a clock the test drives (so
// retry limits cost no wall time), and a bus and a device that record every
// hook they receive and every command the bus sends.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/bus.h"
#include "common/device.h"
#include "common/pal_time.h"
#include "common/xptn.h"
#include "platform/kernel/text.h"
#include "platform/win32/windows.h"
#include "support/thread_end.h"

namespace vexa::test {

// Milliseconds that pass only when the library sleeps (each sleep moves the
// clock on by its length) or the test says so.
class TestClock : public mrak::vexa::pal::clock {
public:
    TestClock() { mrak::vexa::pal::set_clock(this); }
    ~TestClock() override { mrak::vexa::pal::set_clock(nullptr); }
    uint32_t now() override { return now_.load(); }
    void sleep(uint32_t ms) override {
        now_ += ms;
        if (ms == kRetryPause) ++retryPauses_;
        std::this_thread::yield();
    }
    void advance(uint32_t ms) { now_ += ms; }
    unsigned retry_pauses() const { return retryPauses_.load(); }

    static constexpr uint32_t kRetryPause = mrak::vexa::bus_impl::kRetryPauseMs;

private:
    std::atomic<uint32_t> now_{1000};
    std::atomic<unsigned> retryPauses_{0};
};

// What the hooks were told, in order, on whichever thread told them.
class HookLog {
public:
    void add(std::string entry) {
        std::lock_guard lock(lock_);
        entries_.push_back(std::move(entry));
        ++added_;
        changed_.notify_all();
    }
    std::vector<std::string> take() {
        std::lock_guard lock(lock_);
        return std::exchange(entries_, {});
    }
    std::vector<std::string> entries() {
        std::lock_guard lock(lock_);
        return entries_;
    }
    // Waits (on the condition, not by sleeping) until `entry` has been logged; false after 20 s.
    bool wait_for(const std::string& entry) {
        std::unique_lock lock(lock_);
        return changed_.wait_for(lock, std::chrono::seconds(20), [&] {
            return std::find(entries_.begin(), entries_.end(), entry) != entries_.end();
        });
    }

    // Waits until `condition` holds, testing it again after each entry (outside this log's own lock,
    // so it may read the bus, whose thread logs with the library lock held); false after 20 s.
    template <typename Condition>
    bool wait_until(Condition condition) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (;;) {
            uint64_t seen;
            {
                std::lock_guard lock(lock_);
                seen = added_;
            }
            if (condition()) return true;
            std::unique_lock lock(lock_);
            if (!changed_.wait_until(lock, deadline, [&] { return added_ != seen; })) return false;
        }
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::string> entries_;
    uint64_t added_ = 0;  // entries ever added
};

inline std::atomic<int> g_devicesAlive{0};
// How many of the next detached hooks (of any device) throw a library error.
inline std::atomic<int> g_detachedThrows{0};

class RecordingDevice : public mrak::vexa::device {
public:
    explicit RecordingDevice(HookLog* log = nullptr) : log_(log) { ++g_devicesAlive; }
    ~RecordingDevice() override { --g_devicesAlive; }
    void attached() override { note("attached"); }
    void detached() override {
        note("detached");
        int left = g_detachedThrows.load();
        while (left > 0 && !g_detachedThrows.compare_exchange_weak(left, left - 1)) {
        }
        if (left > 0) throw mrak::vexa::make_xptn<mrak::vexa::xptn_device_firmware>("test", 9, "detached");
    }
    void clock_status_changed(uint32_t previous) override { note("clock_status_changed " + std::to_string(previous)); }
    void device_notification(uint32_t bits) override { note("device_notification " + std::to_string(bits)); }

private:
    void note(const std::string& what) {
        if (log_ != nullptr) log_->add("device " + std::to_string(id()) + " " + what);
    }
    HookLog* log_;
};

// One command as the bus was asked to send it.
struct SentCommand {
    uint64_t target;
    uint16_t category;
    uint16_t command;
    bool operator==(const SentCommand&) const = default;
};

class RecordingBus : public mrak::vexa::bus<RecordingDevice> {
public:
    using reference_type = mrak::vexa::reference<RecordingBus>;
    explicit RecordingBus(HookLog* log) : log_(log) {}
    ~RecordingBus() override { log_->add("bus deleted"); }

    void on_exception(const mrak::exception::base& e) override {
        log_->add("on_exception " + e.type() + " " + std::to_string(e.line()));
        if (throwOnException_ > 0) {
            --throwOnException_;
            throw std::runtime_error("hook");
        }
    }
    void progress(uint32_t percent, uint32_t index) override {
        std::function<void()> hook;
        {
            std::lock_guard lock(lock_);
            progress_.push_back({percent, index});
            hook = progressHook_;
        }
        if (hook) hook();
    }
    void devices_updated() override {
        log_->add("devices_updated");
        bus::devices_updated();
    }
    void devices_changed() override { log_->add("devices_changed"); }
    void single_asio_client_changed() override { log_->add("single_asio_client_changed"); }
    void current_device_changed() override {
        log_->add("current_device_changed");
        if (closeInHook_.exchange(false)) {
            if (ThreadEnd* end = closeThreadEnd_.exchange(nullptr)) end->arm();
            close();
        }
        if (reference_type* drop = dropInHook_.exchange(nullptr)) {
            if (ThreadEnd* end = dropThreadEnd_.exchange(nullptr)) end->arm();
            drop->release();
        }
    }
    void operation_mode_changed() override { log_->add("operation_mode_changed"); }
    void sample_rate_changed() override {
        log_->add("sample_rate_changed");
        if (throwOnRate_) throw mrak::vexa::make_xptn<mrak::vexa::xptn_internal>("test", 1, "sample_rate_changed");
        if (throwForeignOnRate_) throw std::runtime_error("not a library error");
    }
    void clock_source_changed() override { log_->add("clock_source_changed"); }
    void buffer_size_changed() override { log_->add("buffer_size_changed"); }
    void buffer_size_min_changed() override { log_->add("buffer_size_min_changed"); }
    void buffer_size_max_changed() override { log_->add("buffer_size_max_changed"); }
    void client_count_changed() override { log_->add("client_count_changed"); }
    void refresh() override {
        log_->add("refresh");
        bus::refresh();
    }
    bool update() override {
        log_->add("update");
        return bus::update();
    }
    bool update_devices() override {
        log_->add("update_devices");
        return bus::update_devices();
    }
    void device_notification(uint64_t id, uint32_t mask) override {
        log_->add("device_notification " + std::to_string(id) + " " + std::to_string(mask));
        std::function<void()> once;
        {
            std::lock_guard lock(lock_);
            once = std::exchange(inNotification_, nullptr);
        }
        if (once) once();
        bus::device_notification(id, mask);
    }
    void dcp_cmd(uint64_t target, uint16_t category, uint16_t command, const void* data, uint64_t dataSize,
                 void* response, uint64_t* responseSize) override {
        {
            std::lock_guard lock(lock_);
            sent_.push_back({target, category, command});
        }
        bus::dcp_cmd(target, category, command, data, dataSize, response, responseSize);
    }
    RecordingDevice* new_device(uint64_t id) override {
        if (failDevice_ == id) return nullptr;
        return new RecordingDevice(log_);
    }

    std::vector<SentCommand> take_sent() {
        std::lock_guard lock(lock_);
        return std::exchange(sent_, {});
    }
    std::vector<std::pair<uint32_t, uint32_t>> progress_calls() {
        std::lock_guard lock(lock_);
        return progress_;
    }
    void throw_on_rate(bool on) { throwOnRate_ = on; }
    // The next `calls` calls of on_exception throw.
    void throw_on_exception(int calls) { throwOnException_ = calls; }
    void throw_foreign_on_rate(bool on) { throwForeignOnRate_ = on; }
    // The bus closes itself from a hook, on its notification thread, once; `end` is told when
    // that thread has ended.
    void close_in_hook(ThreadEnd* end) {
        closeThreadEnd_ = end;
        closeInHook_ = true;
    }
    // A hook lets go of the application's reference to this bus (its last one).
    // `end` is told when the notification thread has ended.
    void drop_in_hook(reference_type* ref, ThreadEnd* end) {
        dropThreadEnd_ = end;
        dropInHook_ = ref;
    }
    void refuse_device(uint64_t id) { failDevice_ = id; }
    // Runs once, on the thread of the next device_notification (the notification thread's).
    void in_next_device_notification(std::function<void()> hook) {
        std::lock_guard lock(lock_);
        inNotification_ = std::move(hook);
    }
    // Runs on the thread of every later progress call, after the call is recorded.
    void on_progress(std::function<void()> hook) {
        std::lock_guard lock(lock_);
        progressHook_ = std::move(hook);
    }
    // The device ids of the list, in list order.
    std::vector<uint64_t> ids() {
        mrak::vexa::lock_scope hold;
        std::vector<uint64_t> list;
        for (auto& entry : static_cast<device_list&>(*this)) list.push_back(entry->id());
        return list;
    }

private:
    HookLog* log_;
    std::mutex lock_;
    std::vector<SentCommand> sent_;
    std::vector<std::pair<uint32_t, uint32_t>> progress_;
    std::function<void()> progressHook_;  // guarded by lock_
    std::function<void()> inNotification_;  // guarded by lock_
    std::atomic<bool> throwOnRate_{false};
    std::atomic<int> throwOnException_{0};
    std::atomic<bool> throwForeignOnRate_{false};
    std::atomic<bool> closeInHook_{false};
    std::atomic<ThreadEnd*> closeThreadEnd_{nullptr};
    std::atomic<reference_type*> dropInHook_{nullptr};
    std::atomic<ThreadEnd*> dropThreadEnd_{nullptr};
    std::atomic<uint64_t> failDevice_{0};
};

using BusRef = mrak::vexa::reference<RecordingBus>;

inline std::string Narrow(const std::u16string& text) { return platform::narrow(text); }

}  // namespace vexa::test

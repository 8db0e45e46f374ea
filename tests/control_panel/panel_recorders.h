// Test equipment for the panel's event forwarding: listeners that log every
// call they receive, and an event bus that says when it is deleted.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "event_bus.h"
#include "support/library_doubles.h"

namespace cpl::test {

class BusRecorder : public bus_listener {
public:
    explicit BusRecorder(vexa::test::HookLog* log, std::string name = "bus") : log_(log), name_(std::move(name)) {}

    void attach(mrak::vexa::reference<event_bus> r) override {
        bus_listener::attach(std::move(r));
        note("attach");
    }
    void detach() override {
        bus_listener::detach();
        note("detach");
    }
    void client_count_changed() override { note("client_count_changed"); }
    void single_asio_client_changed() override { note("single_asio_client_changed"); }
    void reserved_flag2_changed() override { note("reserved_flag2_changed"); }
    void reserved_flag3_changed() override { note("reserved_flag3_changed"); }
    void reserved_flag4_changed() override { note("reserved_flag4_changed"); }
    void reserved_flag5_changed() override { note("reserved_flag5_changed"); }
    void sample_rate_changed() override {
        note("sample_rate_changed");
        if (onRate) onRate();
    }
    void devices_changed() override { note("devices_changed"); }
    void devices_updated() override { note("devices_updated"); }
    void current_device_changed() override { note("current_device_changed"); }
    void operation_mode_changed() override { note("operation_mode_changed"); }
    void buffer_size_changed() override { note("buffer_size_changed"); }
    void buffer_size_max_changed() override { note("buffer_size_max_changed"); }
    void buffer_size_min_changed() override { note("buffer_size_min_changed"); }
    void spare_notification_3() override { note("spare_notification_3"); }
    void spare_notification_4(uint32_t a, uint32_t b) override {
        note("spare_notification_4 " + std::to_string(a) + " " + std::to_string(b));
    }

    std::function<void()> onRate;  // run inside sample_rate_changed

private:
    void note(const std::string& what) { log_->add(name_ + " " + what); }
    vexa::test::HookLog* log_;
    std::string name_;
};

class DeviceRecorder : public device_listener {
public:
    explicit DeviceRecorder(vexa::test::HookLog* log) : log_(log) {}

    void attach(mrak::vexa::reference<event_device> r) override {
        device_listener::attach(std::move(r));
        note("attach");
    }
    void detach() override {
        device_listener::detach();
        note("detach");
    }
    void spare_hook_3() override { note("spare_hook_3"); }
    void spare_hook_5() override { note("spare_hook_5"); }
    void spare_hook_2() override { note("spare_hook_2"); }
    void clock_status_changed() override { note("clock_status_changed"); }
    void spare_hook_7(uint32_t a, uint32_t b) override {
        note("spare_hook_7 " + std::to_string(a) + " " + std::to_string(b));
    }
    void device_notification(uint32_t mask) override { note("device_notification " + std::to_string(mask)); }

private:
    void note(const std::string& what) { log_->add("device " + what); }
    vexa::test::HookLog* log_;
};

// Counts its own deletion, so a test sees the last hold go.
class CountedBus : public event_bus {
public:
    explicit CountedBus(std::atomic<int>* deleted) : deleted_(deleted) {}
    ~CountedBus() override { ++*deleted_; }

private:
    std::atomic<int>* deleted_;
};

}  // namespace cpl::test

// Test equipment: a PanelSystem over one bus of the test's own class, opened,
// read, filled and attached as the library's system adds a bus, for the
// cases that watch what the component sends to its bus.
#pragma once

#include <atomic>
#include <string>

#include "event_bus.h"
#include "panel_seams.h"
#include "support/library_doubles.h"
#include "support/root_machine.h"

namespace cpl::test {

// Counts the settings the component sends.
class CountingBus : public event_bus {
public:
    void set_sample_rate(uint32_t hz) override {
        sent();
        event_bus::set_sample_rate(hz);
    }
    void set_buffer_size(uint32_t frames) override {
        sent();
        event_bus::set_buffer_size(frames);
    }
    void set_operation_mode(uint32_t mode) override {
        sent();
        event_bus::set_operation_mode(mode);
    }

    std::atomic<int> sets{0};

private:
    void sent() { ++sets; }
};

// Offers one rate only (the one in effect) once `narrowed` is set: a new rate list while the
// rate itself stays.
class NarrowingBus : public event_bus {
public:
    list sample_rates() override {
        if (!narrowed) return event_bus::sample_rates();
        const uint32_t rate = sample_rate();
        return {{rate, std::to_string(rate)}};
    }

    std::atomic<bool> narrowed{false};
};

template <typename Bus>
class BusSystem : public PanelSystem {
public:
    BusSystem() {
        const std::string path = vexa::test::Narrow(vexa::test::InterfacePath(GUID_DEVINTERFACE_PAL));
        if (path.empty()) return;
        Bus* made = new Bus;
        bus_ = mrak::vexa::reference<Bus>(made, 0);
        made->create(nullptr, path);
        made->open();
        made->refresh();
        made->update_devices();
        made->attach();
        made->update();
        made->devices_changed();
    }
    ~BusSystem() override { close(); }

    juce::ActionBroadcaster& broadcaster() override { return actions_; }
    mrak::vexa::reference<event_bus> firstBus() override {
        mrak::vexa::lock_scope hold;
        return mrak::vexa::reference<event_bus>(bus_.get(), 0);
    }
    void changed() override {
        if (bus_) bus_->devices_updated();
        actions_.sendActionMessage("bus changed");
    }
    bool takeSettingsError() override { return settingsError.exchange(false); }
    void close() override {
        if (!bus_) return;
        bus_->detach();
        bus_->close();
    }

    Bus* bus() { return bus_.get(); }
    std::atomic<bool> settingsError{false};

private:
    juce::ActionBroadcaster actions_;
    mrak::vexa::reference<Bus> bus_;
};

}  // namespace cpl::test

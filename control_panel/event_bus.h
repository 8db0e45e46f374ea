// The panel's bus class, created by the library's system: it forwards the
// bus's change hooks to the listeners registered with it (the main content
// component is the program's one listener).
//
// Lock: as event_device's. A detach takes every listener's reference away and
// empties the list, so a listener destroyed afterwards is never called, and
// a bus attached again calls no listener that is gone.
#pragma once

#include "common/bus.h"
#include "event_device.h"

class event_bus;

class bus_listener {
public:
    bus_listener() = default;
    // Removes itself from the bus it is attached to before the bus can go.
    virtual ~bus_listener();
    bus_listener(const bus_listener&) = delete;
    bus_listener& operator=(const bus_listener&) = delete;

    // Takes over the bus reference it is handed (or only lets it go when empty).
    virtual void attach(mrak::vexa::reference<event_bus> r);
    virtual void detach();
    virtual void client_count_changed() {}
    virtual void single_asio_client_changed() {}
    virtual void reserved_flag2_changed() {}
    virtual void reserved_flag3_changed() {}
    virtual void reserved_flag4_changed() {}
    virtual void reserved_flag5_changed() {}
    virtual void sample_rate_changed() {}
    virtual void devices_changed() {}
    virtual void devices_updated() {}
    virtual void current_device_changed() {}
    virtual void operation_mode_changed() {}
    virtual void buffer_size_changed() {}
    virtual void buffer_size_max_changed() {}
    virtual void buffer_size_min_changed() {}
    virtual void spare_notification_3() {}
    virtual void spare_notification_4(uint32_t, uint32_t) {}

    mrak::vexa::reference<event_bus> bus;  // guarded by the library lock
};

class event_bus : public mrak::vexa::bus<event_device> {
public:
    event_bus() = default;
    ~event_bus() override;

    void client_count_changed() override;
    void single_asio_client_changed() override;
    void reserved_flag2_changed() override;
    void reserved_flag3_changed() override;
    void reserved_flag4_changed() override;
    void reserved_flag5_changed() override;
    void sample_rate_changed() override;
    // Every device updates itself first, then the listeners hear of it.
    void devices_updated() override;
    void devices_changed() override;
    void current_device_changed() override;
    void operation_mode_changed() override;
    void buffer_size_changed() override;
    void buffer_size_max_changed() override;
    void buffer_size_min_changed() override;
    void spare_notification_3() override;
    void spare_notification_4(uint32_t first, uint32_t second) override;
    // Not forwarded.
    void reserved_flag1_changed() override {}
    void spare_notification_1() override {}
    void clock_source_changed() override {}

    void attach() override;
    void detach() override;

    // Any thread; each takes the library lock. A listener may be listed more
    // than once; removing it removes every entry after one detach.
    virtual void add_listener(bus_listener* l);
    virtual void remove_listener(bus_listener* l);

    size_t listener_count();

private:
    listener_list<bus_listener> m_listeners;
};

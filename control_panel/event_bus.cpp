#include "event_bus.h"

using mrak::vexa::lock_scope;

bus_listener::~bus_listener() {
    lock_scope hold;
    mrak::vexa::reference<event_bus> attachedTo = bus;
    if (attachedTo) attachedTo->remove_listener(this);
    bus.release();
}

void bus_listener::attach(mrak::vexa::reference<event_bus> r) {
    lock_scope hold;
    if (r) bus = r;
    r.release();
}

void bus_listener::detach() {
    lock_scope hold;
    bus.release();
}

event_bus::~event_bus() {
    lock_scope hold;
    m_listeners.clear();
}

#define EVENT_BUS_FORWARD(hook) \
    void event_bus::hook() { m_listeners.forward([](bus_listener* l) { l->hook(); }); }

EVENT_BUS_FORWARD(client_count_changed)
EVENT_BUS_FORWARD(single_asio_client_changed)
EVENT_BUS_FORWARD(reserved_flag2_changed)
EVENT_BUS_FORWARD(reserved_flag3_changed)
EVENT_BUS_FORWARD(reserved_flag4_changed)
EVENT_BUS_FORWARD(reserved_flag5_changed)
EVENT_BUS_FORWARD(sample_rate_changed)
EVENT_BUS_FORWARD(devices_changed)
EVENT_BUS_FORWARD(current_device_changed)
EVENT_BUS_FORWARD(operation_mode_changed)
EVENT_BUS_FORWARD(buffer_size_changed)
EVENT_BUS_FORWARD(buffer_size_max_changed)
EVENT_BUS_FORWARD(buffer_size_min_changed)
EVENT_BUS_FORWARD(spare_notification_3)

#undef EVENT_BUS_FORWARD

void event_bus::devices_updated() {
    lock_scope hold;
    mrak::vexa::bus<event_device>::devices_updated();
    m_listeners.forward([](bus_listener* l) { l->devices_updated(); });
}

void event_bus::spare_notification_4(uint32_t first, uint32_t second) {
    m_listeners.forward([=](bus_listener* l) { l->spare_notification_4(first, second); });
}

void event_bus::attach() {
    lock_scope hold;
    mrak::vexa::bus<event_device>::attach();
    m_listeners.forward([this](bus_listener* l) { l->attach(mrak::vexa::reference<event_bus>(this, 0)); });
}

void event_bus::detach() {
    lock_scope hold;
    mrak::vexa::bus<event_device>::detach();
    m_listeners.forward([](bus_listener* l) { l->detach(); });
    // Their references are gone: a listener destroyed from now on could not
    // take itself off the list, so none stays on it.
    m_listeners.clear();
}

void event_bus::add_listener(bus_listener* l) {
    lock_scope hold;
    m_listeners.add(l);
    l->attach(mrak::vexa::reference<event_bus>(this, 0));
}

void event_bus::remove_listener(bus_listener* l) {
    lock_scope hold;
    // The listener's detach may let go of the last hold on this bus: held
    // here until the list is done with.
    mrak::vexa::reference<event_bus> self(this, 0);
    l->detach();
    m_listeners.remove(l);
}

size_t event_bus::listener_count() {
    lock_scope hold;
    return m_listeners.size();
}

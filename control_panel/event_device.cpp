#include "event_device.h"

using mrak::vexa::lock_scope;
using mrak::vexa::reference;

device_listener::~device_listener() {
    lock_scope hold;
    reference<event_device> attachedTo = device;
    if (attachedTo) attachedTo->remove_listener(this);
    device.release();
}

void device_listener::attach(reference<event_device> r) {
    lock_scope hold;
    if (r) device = r;
    r.release();
}

void device_listener::detach() {
    lock_scope hold;
    device.release();
}

event_device::~event_device() {
    lock_scope hold;
    m_listeners.clear();
}

void event_device::attached() {
    m_listeners.forward([this](device_listener* l) { l->attach(reference<event_device>(this, 0)); });
}

void event_device::detached() {
    m_listeners.forward([](device_listener* l) { l->detach(); });
}

void event_device::spare_hook_3() {
    m_listeners.forward([](device_listener* l) { l->spare_hook_3(); });
}

void event_device::spare_hook_5() {
    m_listeners.forward([](device_listener* l) { l->spare_hook_5(); });
}

void event_device::spare_hook_2() {
    m_listeners.forward([](device_listener* l) { l->spare_hook_2(); });
}

void event_device::clock_status_changed(uint32_t) {
    m_listeners.forward([](device_listener* l) { l->clock_status_changed(); });
}

void event_device::spare_hook_7(uint32_t first, uint32_t second) {
    m_listeners.forward([=](device_listener* l) { l->spare_hook_7(first, second); });
}

void event_device::device_notification(uint32_t bits) {
    m_listeners.forward([=](device_listener* l) { l->device_notification(bits); });
}

void event_device::add_listener(device_listener* l) {
    lock_scope hold;
    m_listeners.add(l);
    l->attach(reference<event_device>(this, 0));
}

void event_device::remove_listener(device_listener* l) {
    lock_scope hold;
    // The listener's detach may let go of the last hold on this device: held
    // here until the list is done with.
    reference<event_device> self(this, 0);
    l->detach();
    m_listeners.remove(l);
}

size_t event_device::listener_count() {
    lock_scope hold;
    return m_listeners.size();
}

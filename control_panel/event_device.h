// The panel's device class, created by the library's bus template: it
// forwards the device's hooks to the listeners registered with it.
//
// Lock: the list and every forwarding run under the library's one lock (see
// listener_list).
#pragma once

#include "common/device.h"
#include "listener_list.h"

class event_device;

class device_listener {
public:
    device_listener() = default;
    // Removes itself from the device it is attached to, so the device never
    // calls a listener that is gone.
    virtual ~device_listener();
    device_listener(const device_listener&) = delete;
    device_listener& operator=(const device_listener&) = delete;

    // Takes over the device reference it is handed (or only lets it go when empty).
    virtual void attach(mrak::vexa::reference<event_device> r);
    virtual void detach();
    virtual void spare_hook_3() {}
    virtual void spare_hook_5() {}
    virtual void spare_hook_2() {}
    virtual void clock_status_changed() {}
    virtual void spare_hook_7(uint32_t, uint32_t) {}
    virtual void device_notification(uint32_t) {}

    mrak::vexa::reference<event_device> device;  // guarded by the library lock
};

class event_device : public mrak::vexa::device {
public:
    event_device() = default;
    ~event_device() override;

    void attached() override;
    void detached() override;
    void spare_hook_3() override;
    void spare_hook_5() override;
    void spare_hook_2() override;
    // The previous status is not passed on.
    void clock_status_changed(uint32_t previousStatus) override;
    void spare_hook_7(uint32_t first, uint32_t second) override;
    void device_notification(uint32_t bits) override;

    // Any thread; each takes the library lock. A listener may be listed more
    // than once; removing it removes every entry after one detach.
    virtual void add_listener(device_listener* l);
    virtual void remove_listener(device_listener* l);

    size_t listener_count();

private:
    listener_list<device_listener> m_listeners;
};

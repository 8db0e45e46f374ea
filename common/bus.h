// mrak::vexa::bus<T>: a bus that owns its devices (T derives from
// mrak::vexa::device). The devices sit in a list sorted by their 64-bit id
// (unsigned), one per id the cached bus record lists, each entry holding its
// device with the bus's holder id while the device holds the bus through its
// owner reference. The bus's notification thread and the system drive it;
// the application derives from an instance and overrides its hooks.
//
// Lock: attach, detach, update_devices, devices_updated and both
// find_device hold the library lock; add_device and device_notification are
// called with it held. Device hooks run on the calling library thread.
#pragma once

#include <algorithm>
#include <deque>
#include <string>

#include "common/bus_impl.h"
#include "common/device.h"
#include "source/driver/usb/win/user_common/logger.h"

namespace mrak::vexa {

namespace bus_template {

// Trace points of the template, ids (1003 << 13) | line.
inline constexpr ULONG kFileNumber = 1003;
inline constexpr ULONG kLineConstructed = 271;
inline constexpr ULONG kLineDestructor = 277;
inline constexpr ULONG kLineDestroyedAttached = 280;
inline constexpr ULONG kLineAttach = 287;
inline constexpr ULONG kLineDetach = 294;
inline constexpr ULONG kLineAddDevice = 336;
inline constexpr ULONG kLineDeviceNotification = 364;
inline constexpr ULONG kLineUpdateDevices = 374;
inline constexpr ULONG kLineDevicesUpdated = 395;

template <typename... Values>
void trace(ULONG line, ULONG mask, Values... values) {
    ::vexa::user_log::Trace<false>(kFileNumber, line, mask, values...);
}

}  // namespace bus_template

template <typename T>
class bus : public bus_impl, public std::deque<reference<T>> {
public:
    using device_list = std::deque<reference<T>>;

    bus() { bus_template::trace(bus_template::kLineConstructed, kTraceInfo, this); }

protected:
    // Not public: library objects are made with new and deleted by the
    // library when their last holder goes (base.h), never on the stack.
    ~bus() override {
        bus_template::trace(bus_template::kLineDestructor, kTraceInfo, this);
        if (m_attached) bus_template::trace(bus_template::kLineDestroyedAttached, kTraceError, this);
        // The notification thread may be walking the list: it stops first.
        close();
        lock_scope hold;
        device_list::clear();
    }

public:
    bool add_device(uint64_t id) override {
        bus_template::trace(bus_template::kLineAddDevice, kTraceInfo, this, id);
        if (find_position(id).second) return false;
        T* made = new_device(id);
        if (made == nullptr) return false;
        reference<T> local(made, holder_id());
        made->create(this, id);
        made->refresh(kDeviceChangeAll);
        // Found again: what create and refresh ran may have changed the list.
        auto [position, present] = find_position(id);
        if (present) return false;
        device_list::insert(position, local);
        made->attached();
        return true;
    }

    void devices_updated() override {
        bus_template::trace(bus_template::kLineDevicesUpdated, kTraceInfo, this);
        lock_scope hold;
        // Each device held while its hooks run, whatever they do to the list.
        for (size_t i = 0; i < device_list::size(); ++i) {
            reference<T> device = (*this)[i];
            device->update();
        }
    }

    void device_notification(uint64_t id, uint32_t mask) override {
        bus_template::trace(bus_template::kLineDeviceNotification, kTraceInfo, this, id, mask);
        reference<T> device = find_device(id);
        if (device) device->refresh(mask);
    }

    bool update_devices() override {
        bus_template::trace(bus_template::kLineUpdateDevices, kTraceInfo, this);
        lock_scope hold;
        for (auto it = device_list::begin(); it != device_list::end();) {
            if (has_device((*it)->id())) {
                ++it;
                continue;
            }
            (*it)->detached();
            it = device_list::erase(it);
        }
        return bus_impl::update_devices();
    }

    virtual void attach() {
        bus_template::trace(bus_template::kLineAttach, kTraceInfo, this);
        lock_scope hold;
        m_attached = true;
    }

    virtual void detach() {
        bus_template::trace(bus_template::kLineDetach, kTraceInfo, this);
        lock_scope hold;
        if (!m_attached) return;
        m_attached = false;
        for (size_t i = 0; i < device_list::size(); ++i) {
            reference<T> device = (*this)[i];
            device->detached();
        }
    }

    // The first device with this nickname, held as from outside the library;
    // empty when none.
    virtual reference<T> find_device(std::string nickname) {
        lock_scope hold;
        for (const reference<T>& entry : static_cast<device_list&>(*this)) {
            if (entry->nickname() == nickname) return reference<T>(entry.get(), 0);
        }
        return {};
    }

    // The device with this id, held as from outside the library (a copy that
    // outlives the bus keeps a live device and a live bus); empty when none.
    virtual reference<T> find_device(uint64_t id) {
        lock_scope hold;
        auto [position, present] = find_position(id);
        return present ? reference<T>(position->get(), 0) : reference<T>();
    }

    // The factory; the id is the caller's to use.
    virtual T* new_device(uint64_t) { return new T; }

    bool is_attached() {
        lock_scope hold;
        return m_attached;
    }

private:
    static constexpr ULONG kTraceInfo = ::vexa::log::kLogPal | ::vexa::log::kLogInfo;
    static constexpr ULONG kTraceError = ::vexa::log::kLogPal | ::vexa::log::kLogError;

    // The first entry whose id is not below `id`, and whether it is `id`. Caller holds the lock.
    std::pair<typename device_list::iterator, bool> find_position(uint64_t id) {
        auto it = std::find_if(device_list::begin(), device_list::end(),
                               [&](const reference<T>& entry) { return entry->id() >= id; });
        return {it, it != device_list::end() && (*it)->id() == id};
    }

    bool m_attached = false;  // guarded by the lock
};

}  // namespace mrak::vexa

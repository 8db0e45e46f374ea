// mrak::vexa::system<T>: the system with its buses (T derives from an
// instance of mrak::vexa::bus), listed in the order they were added, each
// entry holding its bus with the system's holder id while the bus holds the
// system through its owner reference. A scan drops every bus whose interface
// has gone or whose connection is gone, then adds a bus for the first
// present interface; close detaches and closes every bus, and after it
// nothing is added. The control panel derives TheSystem from an instance.
//
// Lock: every operation on the list holds the library lock, find_bus and the
// accessors included; the list itself is private. Bus hooks run on the
// thread of the operation that raised them (the arrival/removal thread for
// every scan after the first), with the lock held.
#pragma once

#include <algorithm>
#include <deque>
#include <string>
#include <type_traits>
#include <vector>

#include "common/bus.h"
#include "common/system_impl.h"
#include "common/xptn.h"
#include "source/driver/usb/win/user_common/logger.h"

namespace mrak::vexa {

namespace system_template {

// Trace points of the template, ids (1002 << 13) | line.
inline constexpr ULONG kFileNumber = 1002;
// The source file the template's exceptions name, as the system's own do.
inline constexpr const char* kFile = "mrak_vexa_pal_system_usb_win";
inline constexpr ULONG kLineDestructor = 377;
inline constexpr ULONG kLineDestroyedOpen = 381;
inline constexpr ULONG kLineClose = 389;
inline constexpr ULONG kLineAddBus = 404;
inline constexpr ULONG kLineScan = 430;
inline constexpr ULONG kLineChanged = 453;
inline constexpr ULONG kLineConstructed = 475;

inline constexpr ULONG kTraceInfo = ::vexa::log::kLogPal | ::vexa::log::kLogInfo;
inline constexpr ULONG kTraceError = ::vexa::log::kLogPal | ::vexa::log::kLogError;

template <typename... Values>
void trace(ULONG line, ULONG mask, Values... values) {
    ::vexa::user_log::Trace<false>(kFileNumber, line, mask, values...);
}

}  // namespace system_template

template <typename T>
class system : public system_impl {
public:
    system() { system_template::trace(system_template::kLineConstructed, system_template::kTraceInfo, this); }

protected:
    // Not public: library objects are made with new and deleted by the
    // library when their last holder goes (base.h), never on the stack.
    ~system() override {
        using namespace system_template;
        trace(kLineDestructor, kTraceInfo, this);
        if (is_open()) trace(kLineDestroyedOpen, kTraceError, this);
        // The thread may be scanning this very list, and a callback may be on
        // its way to wake it: both end before the list goes.
        stop();
        std::deque<reference<T>> doomed;
        {
            lock_scope hold;
            doomed.swap(m_buses);
        }
        // Each bus that nothing else holds is deleted (and closed) here.
    }

public:
    bool scan() override {
        system_template::trace(system_template::kLineScan, system_template::kTraceInfo, this);
        lock_scope hold;
        if (!m_open) return false;  // a closed system follows nothing
        bool removed = false;
        {
            // Each bus held while its hooks run, whatever they do to the list.
            std::vector<reference<T>> listed = snapshot();
            for (const reference<T>& bus : listed) {
                // A bus whose interface went and came back at the same path
                // between two wake-ups still lists that path, but its handle
                // belongs to the device that went: it is replaced too.
                if (bus_present(bus->path()) && bus->connected()) continue;
                bus->detach();
                removed = erase(bus.get()) || removed;
            }
        }
        bool added = system_impl::scan();
        return added || removed;
    }

    void changed() override {
        system_template::trace(system_template::kLineChanged, system_template::kTraceInfo, this);
        lock_scope hold;
        for (const reference<T>& bus : snapshot()) bus->devices_updated();
    }

    // Opens, reads and lists a bus for the interface at `path`, unless one is
    // listed for it or the system is closed (false). A bus that fails to come
    // up is not listed; the exception goes on to the caller.
    bool add_bus(std::string path) override {
        system_template::trace(system_template::kLineAddBus, system_template::kTraceInfo, this);
        lock_scope hold;
        if (!m_open || find_entry(path) != m_buses.end()) return false;
        T* made = new_bus();
        if (made == nullptr) return false;
        reference<T> local(made, holder_id());
        made->create(this, path);
        made->open();
        made->refresh();
        made->update_devices();
        m_buses.push_back(local);
        try {
            made->attach();
            made->update();
            made->devices_changed();
        } catch (...) {
            erase(made);
            made->detach();
            throw;
        }
        return true;
    }

    // Detaches and closes every bus; from now on no bus is added. The buses
    // stay listed (and alive) until the system goes. What a hook throws on
    // the way (a device's detached, the application's detach) goes to
    // on_exception and stops nothing: every bus is closed, so none keeps
    // raising hooks after the application closed the system.
    virtual void close() {
        system_template::trace(system_template::kLineClose, system_template::kTraceInfo, this);
        lock_scope hold;
        m_open = false;  // first, so nothing a hook below sets off adds a bus
        for (const reference<T>& bus : snapshot()) {
            try {
                bus->detach();
            } catch (const mrak::exception::base& e) {
                report(e);
            } catch (...) {
                report(make_xptn<xptn_internal>(system_template::kFile, system_template::kLineClose,
                                                "mrak::vexa::system::close"));
            }
            bus->close();
        }
    }

    // The factory. A bus class that needs arguments to be made comes from the
    // application's own factory; without one no bus is made.
    virtual T* new_bus() {
        if constexpr (std::is_default_constructible_v<T>) {
            return new T;
        } else {
            return nullptr;
        }
    }

    // The listed bus whose path is exactly `path`, held as from outside the
    // library (a copy that outlives the system keeps a live bus, never one
    // that names a deleted holder); empty when none.
    reference<T> find_bus(const std::string& path) {
        lock_scope hold;
        auto it = find_entry(path);
        return it == m_buses.end() ? reference<T>() : reference<T>(it->get(), 0);
    }

    // The listed buses in list order, each held as from outside the library.
    std::vector<reference<T>> buses() {
        lock_scope hold;
        std::vector<reference<T>> copies;
        for (const reference<T>& entry : m_buses) copies.push_back(reference<T>(entry.get(), 0));
        return copies;
    }
    size_t bus_count() {
        lock_scope hold;
        return m_buses.size();
    }
    bool is_open() {
        lock_scope hold;
        return m_open;
    }

private:
    // Hands what close caught to on_exception; what that throws in turn is
    // traced and dropped, so the closing goes on.
    void report(const mrak::exception::base& e) {
        system_template::trace(system_template::kLineClose, system_template::kTraceError, this, e.line());
        try {
            on_exception(e);
        } catch (...) {
            system_template::trace(system_template::kLineClose, system_template::kTraceError, this);
        }
    }

    // The list's entries as copies with the system's id. Caller holds the lock.
    std::vector<reference<T>> snapshot() { return std::vector<reference<T>>(m_buses.begin(), m_buses.end()); }

    // Caller holds the lock.
    typename std::deque<reference<T>>::iterator find_entry(const std::string& path) {
        return std::find_if(m_buses.begin(), m_buses.end(),
                            [&](const reference<T>& entry) { return entry->path() == path; });
    }

    // Drops the list's entry for `bus`; false when it is not listed. Caller holds the lock.
    bool erase(T* bus) {
        auto it = std::find_if(m_buses.begin(), m_buses.end(),
                               [&](const reference<T>& entry) { return entry.get() == bus; });
        if (it == m_buses.end()) return false;
        m_buses.erase(it);
        return true;
    }

    std::deque<reference<T>> m_buses;  // guarded by the lock: the bus list, in the order of adding
    bool m_open = true;                // guarded by the lock: true from construction until close
};

}  // namespace mrak::vexa

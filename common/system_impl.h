// mrak::vexa::system_impl: the root of the library's object graph. It finds
// the root driver's library interface (the first present interface of class
// GUID_DEVINTERFACE_PAL), follows interfaces of that class arriving and
// going, and rescans on a thread of its own when one does. The template
// mrak::vexa::system (system.h) adds the bus list and what a scan does to it.
//
// Threads: the application's thread runs create, close and the destructor;
// the arrival/removal thread runs every later scan and changed, and through
// them the bus operations, with the library lock held. The configuration
// manager's callback (on a thread of its own) only sets the system's event.
//
// Lock: the library's one lock (base.h). scan, bus_present and the
// template's scan, add_bus, changed and close hold it. The arrival/removal
// thread never blocks on it: it polls, and gives up once the system is being
// destroyed, so a destructor that runs under the lock (a reference released
// by a lock holder) can wait for the thread to end.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

#include "common/base.h"
#include "common/exception.h"
#include "platform/win32/cfgmgr32.h"
#include "platform/win32/setupapi.h"
#include "platform/win32/windows.h"
#include "source/driver/usb/win/version.h"

namespace mrak::vexa {

// What the system shares with its arrival/removal thread: the event the
// configuration manager's callback sets, and the stop the destructor asks
// for. Held by both, so a thread whose system was deleted on the thread
// itself (a hook let go of the last reference) still finds it whole.
struct arrival_state {
    arrival_state();
    ~arrival_state();
    arrival_state(const arrival_state&) = delete;
    arrival_state& operator=(const arrival_state&) = delete;

    HANDLE event = nullptr;  // auto-reset, not signalled at first; null when it could not be made
    std::stop_source stop;
    volatile ULONG threadId = 0;  // written once by the thread as it starts (release), read by stop (acquire)
};

class system_impl : public base {
public:
    // The library's own version (a local build), as its first trace record says.
    static constexpr uint64_t kLibraryVersion = ::vexa::version::kPackedLocal;

    system_impl();

    // Virtual operations, in slot order.
    // Offers the first present interface's path to add_bus; true when it answered true.
    virtual bool scan();
    // Hooks: after a scan that changed the bus list, and with what the arrival/removal thread caught.
    virtual void changed();
    virtual void on_exception(const mrak::exception::base& e);

protected:
    // Not public: library objects are made with new and deleted by the
    // library when their last holder goes (base.h), never on the stack.
    ~system_impl() override;

public:
    // The event, the thread and the notification registration, then the
    // first scan. Throws xptn_resource when a step fails (what was built
    // stays, the destructor undoes it) and whatever that scan throws.
    virtual void create();
    virtual bool add_bus(std::string path) = 0;
    // Whether an interface of the class with exactly this path is present.
    virtual bool bus_present(std::string path);

    // Wakes the arrival/removal thread for a rescan, as an arrival or a
    // removal of an interface does: a bus whose connection failed for good
    // asks for it, so the rescan drops it as it drops a removed root device.
    // Any thread, with the library lock held.
    void rescan();

    // The arrival/removal thread; its argument is the system. Exit code 0.
    static DWORD thread_device_arrival_removal(LPVOID system);
    // The configuration manager's callback, in place of a window procedure:
    // an interface of the class arrived or went; sets the system's event.
    static DWORD interface_changed(HCMNOTIFICATION notify, PVOID system, CM_NOTIFY_ACTION action,
                                   CM_NOTIFY_EVENT_DATA* eventData, DWORD eventDataSize);
    // The path of the class's interface at `index` in `devices`, read whole
    // however long it is; empty when there is none at that index.
    static std::string interface_path(HDEVINFO devices, uint32_t index);

protected:
    // Ends the following of arrivals and removals: the registration is
    // undone (no callback runs after this) and the thread has ended, or,
    // called on the thread itself, ends without touching this system again.
    // The template's destructor calls it before its bus list goes; again
    // here it does nothing.
    void stop();

private:
    // Sets the event when the destructor asks the thread to stop, so the
    // thread cannot sleep through the request whenever it comes.
    struct set_event {
        HANDLE event;
        void operator()() const noexcept { SetEvent(event); }
    };

    // The thread's passes: one scan (and changed) per wake-up, under the lock.
    static void serve(system_impl* system, const std::shared_ptr<arrival_state>& state);

    HCMNOTIFICATION m_hDevNotify = nullptr;  // application's thread only
    HANDLE m_hThread = nullptr;              // application's thread only
    std::shared_ptr<arrival_state> m_state;  // set by create, dropped by stop once the thread has its own copy
    std::optional<std::stop_callback<set_event>> m_stopWake;
};

}  // namespace mrak::vexa

// system_impl: the event, the arrival/removal thread and the configuration
// manager's registration that follow the root driver's interface, and the
// scan that finds it.
#define LOG_FILE_NUMBER 1042

#include "common/system_impl.h"

#include "common/library_trace.h"
#include "common/releases.h"
#include "common/xptn.h"
#include "source/driver/usb/win/user_common/interface_path.h"
#include "source/driver/usb/win/user_common/logger.h"
#include "source/driver/usb/win/vexa_usb_device/public/audio_device_interface.h"

namespace mrak::vexa {
namespace {

// Trace points, ids (1042 << 13) | line, and the throw sites, with the file
// name and lines applications and support tools know them by.
constexpr ULONG kFileNumber = 1042;
constexpr const char* kFile = "mrak_vexa_pal_system_usb_win";
constexpr const char* kThreadFunction = "thread_device_arrival_removal";
constexpr const char* kCreateFunction = "mrak::vexa::system_impl::create";
constexpr uint32_t kLineInterfaceChanged = 64;
constexpr uint32_t kLineNoSystem = 102;
constexpr uint32_t kLineThreadEnds = 112;
constexpr uint32_t kLineThreadRescans = 116;
constexpr uint32_t kLineThreadCaught = 125;
constexpr uint32_t kLineThreadCaughtForeign = 130;
constexpr uint32_t kLineThreadForeign = 131;
constexpr uint32_t kLineConstructed = 157;
constexpr uint32_t kLineDestructor = 170;
constexpr uint32_t kLineStopsThread = 189;
constexpr uint32_t kLineDestroyed = 204;
constexpr uint32_t kLineCreate = 218;
constexpr uint32_t kLineCreateEvent = 222;
constexpr uint32_t kLineCreateThread = 226;
constexpr uint32_t kLineRegister = 265;
constexpr uint32_t kLineScan = 373;

constexpr ULONG kInfoOnly = ::vexa::log::kLogInfo;  // 0x100: the library's version and its end

template <typename... Values>
void trace(uint32_t line, ULONG mask, Values... values) {
    ::vexa::user_log::Trace<false>(kFileNumber, line, mask, values...);
}

// A SetupAPI snapshot, destroyed on every exit.
class device_info_set {
public:
    device_info_set()
        : devices_(SetupDiGetClassDevsA(&GUID_DEVINTERFACE_PAL, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {}
    ~device_info_set() {
        if (valid()) SetupDiDestroyDeviceInfoList(devices_);
    }
    device_info_set(const device_info_set&) = delete;
    device_info_set& operator=(const device_info_set&) = delete;

    bool valid() const { return devices_ != INVALID_HANDLE_VALUE; }
    HDEVINFO get() const { return devices_; }

private:
    HDEVINFO devices_;
};

// The library lock as the thread took it, given back on every exit.
class held_lock {
public:
    held_lock() = default;
    ~held_lock() { base::unlock(); }
    held_lock(const held_lock&) = delete;
    held_lock& operator=(const held_lock&) = delete;
};

}  // namespace

arrival_state::arrival_state() : event(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}

arrival_state::~arrival_state() {
    if (event != nullptr) CloseHandle(event);
}

system_impl::system_impl() {
    // Logging never fails a caller: without a logger the trace points stay off.
    (void)LoggerOpen();
    trace(kLineConstructed, kInfoOnly, kLibraryVersion);
}

system_impl::~system_impl() {
    trace(kLineDestructor, kLibInfo, this);
    stop();
    trace(kLineDestroyed, kInfoOnly);
    (void)LoggerClose();
}

void system_impl::create() {
    trace(kLineCreate, kLibInfo, this);
    // Each step is taken once: a create that failed half-way leaves what it
    // built for the destructor, and a second create completes it.
    if (!m_state) {
        auto state = std::make_shared<arrival_state>();
        if (state->event == nullptr) {
            TRACE(kLibError, this, GetLastError());
            // The expression keeps its name from when the event was one per process.
            throw make_xptn<xptn_resource>(kFile, kLineCreateEvent, kCreateFunction,
                                           "!static_event_device_arrival_removal");
        }
        m_state = std::move(state);
        m_stopWake.emplace(m_state->stop.get_token(), set_event{m_state->event});
    }
    if (m_hThread == nullptr) {
        m_hThread = CreateThread(nullptr, 0, thread_device_arrival_removal, this, 0, nullptr);
        if (m_hThread == nullptr) {
            TRACE(kLibError, this, GetLastError());
            throw make_xptn<xptn_resource>(kFile, kLineCreateThread, kCreateFunction, "!m_hThread");
        }
    }
    // The module handle, the window class and the message-only window that
    // received WM_DEVICECHANGE have no counterpart here: the configuration
    // manager calls interface_changed directly, with no window and no message
    // loop, so those steps (and their failures) are gone.
    if (m_hDevNotify == nullptr) {
        CM_NOTIFY_FILTER filter{};
        filter.cbSize = sizeof(filter);
        filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
        filter.u.DeviceInterface.ClassGuid = GUID_DEVINTERFACE_PAL;
        CONFIGRET result = CM_Register_Notification(&filter, this, interface_changed, &m_hDevNotify);
        if (result != CR_SUCCESS) {
            m_hDevNotify = nullptr;
            TRACE(kLibError, this, result);
            throw make_xptn<xptn_resource>(kFile, kLineRegister, kCreateFunction, "!m_hDevNotify");
        }
    }
    if (scan()) changed();
}

void system_impl::stop() {
    if (m_hDevNotify != nullptr) {
        // Waits for a callback in flight: none runs after this.
        CM_Unregister_Notification(m_hDevNotify);
        m_hDevNotify = nullptr;
    }
    if (m_hThread != nullptr) {
        trace(kLineStopsThread, kLibInfo, this);
        m_state->stop.request_stop();  // and the stop callback sets the event
        // On its own thread the thread is only told (it ends once the pass
        // that runs this returns) and is joined later, by wait_for_releases.
        if (ReadULongAcquire(&m_state->threadId) != GetCurrentThreadId()) {
            WaitForSingleObject(m_hThread, INFINITE);
            CloseHandle(m_hThread);
        } else {
            join_later(m_hThread);
        }
        m_hThread = nullptr;
    }
    m_stopWake.reset();
    m_state.reset();  // the thread has its own copy by now (it ended, or it is this one)
}

void system_impl::rescan() {
    // m_state goes only in stop, which runs under the lock as the caller's hold does.
    if (m_state) SetEvent(m_state->event);
}

DWORD system_impl::interface_changed(HCMNOTIFICATION, PVOID context, CM_NOTIFY_ACTION action, CM_NOTIFY_EVENT_DATA*,
                                     DWORD) {
    auto* system = static_cast<system_impl*>(context);
    if (action != CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL && action != CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL) {
        return ERROR_SUCCESS;
    }
    try {
        trace(kLineInterfaceChanged, kLibInfo, system);
        // The registration is undone before the state goes, so it is there for every callback.
        SetEvent(system->m_state->event);
    } catch (...) {
        // Nothing may leave a callback of the configuration manager's.
    }
    return ERROR_SUCCESS;
}

DWORD system_impl::thread_device_arrival_removal(LPVOID parameter) {
    try {
        auto* system = static_cast<system_impl*>(parameter);
        if (system == nullptr) {
            throw make_xptn<xptn_internal>(kFile, kLineNoSystem, kThreadFunction, "!system");
        }
        // Copied before anything else: stop waits for this thread (or runs on
        // it) before the system lets go of the state.
        std::shared_ptr<arrival_state> state = system->m_state;
        WriteULongRelease(&state->threadId, GetCurrentThreadId());
        serve(system, state);
    } catch (...) {
        // What on_exception or a trace point throws ends the thread.
    }
    return 0;
}

void system_impl::serve(system_impl* system, const std::shared_ptr<arrival_state>& state) {
    std::stop_token stop = state->stop.get_token();
    for (bool last = false; !last;) {
        // Several changes before the wake-up are one rescan (auto-reset event).
        // A wait that fails (the machine behind the event gone, and with it
        // the root driver) ends the thread after one last pass, so the buses
        // whose connection failed are dropped as on the root device's removal.
        if (WaitForSingleObject(state->event, INFINITE) != WAIT_OBJECT_0) {
            TRACE(kLibError, system, GetLastError());
            last = true;
        }
        // From here on `system` is touched only with the lock held and no
        // stop asked for: whoever deletes the system holds the lock and asks
        // for the stop first, so the system is whole whenever both hold.
        if (stop.stop_requested() || !poll_lock([&] { return !stop.stop_requested(); })) {
            trace(kLineThreadEnds, kLibInfo, system);
            return;
        }
        held_lock held;
        if (stop.stop_requested()) {
            trace(kLineThreadEnds, kLibInfo, system);
            return;
        }
        // A pass that lets go of anything (a hook dropping the last hold on
        // this system deletes it here) is waited for by wait_for_releases
        // until it is over.
        release_pass pass;
        // Held for the pass, so a hook that lets go of the application's last
        // reference does not delete the system under the code still running
        // for it: the deletion (and with it the stop, on this thread) comes
        // when this goes.
        reference<system_impl> keep(system, 0);
        trace(kLineThreadRescans, kLibInfo, system);
        try {
            if (system->scan()) system->changed();
        } catch (const mrak::exception::base& e) {
            trace(kLineThreadCaught, kLibError, system);
            system->on_exception(e);
        } catch (...) {
            trace(kLineThreadCaughtForeign, kLibError, system);
            system->on_exception(make_xptn<xptn_internal>(kFile, kLineThreadForeign, kThreadFunction));
        }
    }
}

bool system_impl::scan() {
    trace(kLineScan, kLibInfo, this);
    device_info_set devices;
    if (!devices.valid()) return false;
    lock_scope hold;
    // Only the first present interface is used; a second root device's is never opened.
    std::string path = interface_path(devices.get(), 0);
    return !path.empty() && add_bus(path);
}

bool system_impl::bus_present(std::string path) {
    lock_scope hold;
    device_info_set devices;
    if (!devices.valid()) return false;
    for (uint32_t index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof(data);
        if (!SetupDiEnumDeviceInterfaces(devices.get(), nullptr, &GUID_DEVINTERFACE_PAL, index, &data)) return false;
        if (interface_path(devices.get(), index) == path) return true;
    }
}

std::string system_impl::interface_path(HDEVINFO devices, uint32_t index) {
    std::string path;
    DWORD error = ::vexa::user::InterfacePath(devices, GUID_DEVINTERFACE_PAL, index, &path);
    if (error != ERROR_SUCCESS && error != ERROR_NO_MORE_ITEMS) TRACE(kLibError, index, error);
    return path;
}

void system_impl::changed() {}
void system_impl::on_exception(const mrak::exception::base&) {}

}  // namespace mrak::vexa

// bus_impl's notification thread: one kIoctlWaitNotification kept pending on
// the interface (the inverted call), and each record it brings turned into
// the bus's own operations under the library lock, which the thread polls
// rather than waits for. Errors never leave the thread: the application
// hears of them through on_exception.
#define LOG_FILE_NUMBER 1045

#include "common/bus_impl.h"
#include "common/bus_lines.h"
#include "common/bus_link.h"
#include "common/library_trace.h"
#include "common/releases.h"
#include "common/system_impl.h"
#include "common/xptn.h"

using namespace ::vexa::pal;

namespace mrak::vexa {
namespace {

using namespace bus_lines;

constexpr const char* kThreadFunction = "mrak::vexa::bus_impl::static_thread_notification";
constexpr DWORD kExitStopped = 0;
constexpr DWORD kExitFailed = 1;

// The library lock as the thread took it, given back on every exit.
class held_lock {
public:
    held_lock() = default;
    ~held_lock() { release(); }
    held_lock(const held_lock&) = delete;
    held_lock& operator=(const held_lock&) = delete;
    void taken() { held_ = true; }
    bool held() const { return held_; }
    void release() {
        if (held_) base::unlock();
        held_ = false;
    }

private:
    bool held_ = false;
};

// Takes the lock for the thread, unless its bus is being closed (false).
// With the lock taken the run flag is read once more: close lowers it while
// holding the lock, so a bus found running here stays alive until the lock goes.
bool TakeLock(const bus_link& state, held_lock* held) {
    if (!poll_lock([&] { return state.running(); })) return false;
    held->taken();
    if (state.running()) return true;
    held->release();
    return false;
}

}  // namespace

void bus_impl::dispatch(const PalNotification& record) {
    switch (record.kind) {
        case kPalNotifyDeviceArrival:
            refresh();
            update_devices();
            update();
            devices_changed();
            devices_updated();
            break;
        case kPalNotifyDeviceRemoval:
            refresh();
            update_devices();
            update();
            devices_changed();
            break;
        case kPalNotifyBusChanged:
            refresh();
            update();
            break;
        case kPalNotifyDeviceEvent:
            device_notification(record.param64, record.param32);
            devices_updated();
            break;
        default:
            TRACE(kLibError, this, record.kind);
            on_exception(make_xptn<xptn_internal>(kFile, kThreadUnknownKind, kThreadFunction));
            break;
    }
}

DWORD bus_impl::static_thread_notification(LPVOID parameter) {
    auto* bus = static_cast<bus_impl*>(parameter);
    // Read before anything else: close waits for this thread (or runs on it)
    // before the bus can go, and open made the link before the thread. A
    // close that came first leaves none: there is nothing to serve.
    std::shared_ptr<bus_link> state = bus->link();
    if (!state) return kExitStopped;
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD exitCode = kExitStopped;
    held_lock held;
    try {
        DWORD failure = event == nullptr ? GetLastError() : ERROR_SUCCESS;
        while (failure == ERROR_SUCCESS) {
            PalNotification record{};
            OVERLAPPED overlapped{};
            overlapped.hEvent = event;
            DWORD error = ERROR_SUCCESS;
            if (!state->send_wait(&overlapped, &record, &error)) break;
            if (error == ERROR_SUCCESS || error == ERROR_IO_PENDING) {
                DWORD bytes = 0;
                error = GetOverlappedResult(state->handle(), &overlapped, &bytes, TRUE) ? ERROR_SUCCESS : GetLastError();
                if (error == ERROR_SUCCESS && bytes != sizeof(record)) {
                    TRACE(kLibError, bus, sizeof(record), bytes);
                    continue;  // the record is dropped
                }
            }
            if (error != ERROR_SUCCESS) {
                // A cancelled wait is the stop close asked for; with the run
                // flag still up it is the interface going away under us.
                if (!state->running()) break;
                failure = error;
                break;
            }
            if (!TakeLock(*state, &held)) break;
            {
                // A dispatch that lets go of anything (a hook dropping the last hold
                // on this bus, or on the system above it, deletes it here) is waited
                // for by wait_for_releases until it is over.
                release_pass pass;
                // Held for the dispatch, so a hook that lets go of the application's last
                // reference does not delete the bus under the code still running for it:
                // the deletion (and with it a close on this thread) comes when this goes.
                reference<bus_impl> keep(bus, 0);
                try {
                    bus->dispatch(record);
                } catch (const mrak::exception::base& e) {
                    TRACE(kLibWarning, bus, record.kind, record.param32, record.param64);
                    if (state->running()) bus->on_exception(e);
                } catch (...) {
                    TRACE(kLibError, bus, record.kind);
                    if (state->running()) {
                        bus->on_exception(make_xptn<xptn_internal>(kFile, kThreadDispatchForeign, kThreadFunction));
                    }
                }
            }
            // From here the bus may be gone; only the shared state is touched.
            held.release();
        }
        if (failure != ERROR_SUCCESS) {
            // The connection to the root driver failed for good (the machine
            // serving it ended, the interface went): the bus reads as not
            // alive from now on, its system hears of it as of the root
            // device's removal (a rescan drops the bus), and the application
            // hears of the error.
            TRACE(kLibError, bus, failure);
            exitCode = kExitFailed;
            if (TakeLock(*state, &held)) {
                release_pass pass;
                reference<bus_impl> keep(bus, 0);
                InterlockedExchange(&bus->m_alive, 0);
                if (auto* system = dynamic_cast<system_impl*>(bus->m_system.get())) system->rescan();
                bus->on_exception(make_xptn<xptn_device>(kFile, kThreadWaitFailed, kThreadFunction,
                                                         "!::GetOverlappedResult( m_hBus, &ov, &n, TRUE )"));
            }
        }
    } catch (...) {
        TRACE(kLibError, bus);
        try {
            if (state->running() && (held.held() || TakeLock(*state, &held))) {
                InterlockedExchange(&bus->m_alive, 0);
                bus->on_exception(make_xptn<xptn_internal>(kFile, kThreadForeign, kThreadFunction));
            }
        } catch (...) {
            TRACE(kLibError, bus);
        }
        exitCode = kExitStopped;
    }
    held.release();
    if (event != nullptr) CloseHandle(event);
    TRACE(kLibInfo, exitCode);
    return exitCode;
}

}  // namespace mrak::vexa

// What a bus shares with its notification thread: the handle the thread waits
// on, its run flag and the thread's id. Held by both through shared
// ownership, so a thread whose bus was closed (or deleted) on the thread
// itself still finds it whole on its way out. Private to the bus.
#pragma once

#include "platform/kernel/barrier.h"
#include "platform/kernel/sync.h"
#include "platform/win32/windows.h"
#include "source/driver/usb/win/vexa_usb_swroot/public/pal_interface.h"

namespace mrak::vexa {

class notification_state {
public:
    explicit notification_state(HANDLE bus) : bus_(bus) { InitializeCriticalSection(&issue_); }
    ~notification_state() { DeleteCriticalSection(&issue_); }
    notification_state(const notification_state&) = delete;
    notification_state& operator=(const notification_state&) = delete;

    HANDLE bus() const { return bus_; }
    bool running() const { return ReadAcquire(&run_) != 0; }
    // After this no wait is sent; one already sent is the closer's to cancel.
    void stop() {
        EnterCriticalSection(&issue_);
        InterlockedExchange(&run_, 0);
        LeaveCriticalSection(&issue_);
    }
    // Sends the next kIoctlWaitNotification unless stopped (false then). The
    // run flag is tested and the request sent under one lock with stop, so a
    // closer that stops and then cancels never misses a wait sent in between.
    bool send_wait(OVERLAPPED* overlapped, ::vexa::pal::PalNotification* record, DWORD* error) {
        EnterCriticalSection(&issue_);
        bool sent = running();
        if (sent) {
            *error = DeviceIoControl(bus_, ::vexa::pal::kIoctlWaitNotification, nullptr, 0, record, sizeof(*record),
                                     nullptr, overlapped)
                         ? ERROR_SUCCESS
                         : GetLastError();
        }
        LeaveCriticalSection(&issue_);
        return sent;
    }

    DWORD thread_id() const { return ReadULongAcquire(&threadId_); }
    void set_thread_id(DWORD id) { WriteULongRelease(&threadId_, id); }

private:
    const HANDLE bus_;
    volatile LONG run_ = 1;        // interlocked; lowered once, by stop
    volatile ULONG threadId_ = 0;  // set by open once the thread exists
    CRITICAL_SECTION issue_{};     // orders send_wait against stop
};

}  // namespace mrak::vexa

// The opened PAL interface as a bus's requests and its notification thread
// share it. Each holder keeps it alive through shared ownership (the bus
// while open, every request in flight, the notification thread), and the
// handle is closed when the last of them lets it go: close never waits for
// another thread's request, so it may run from any hook, on any thread, with
// or without the library lock. Private to the bus.
//
// Issue lock: every request is sent under it, and shut takes it too, so a
// request is either sent before the shut (and cancelled by it) or never sent.
// Held only while a request is handed to the driver, never across a wait.
#pragma once

#include "platform/win32/windows.h"
#include "source/driver/usb/win/vexa_usb_swroot/public/pal_interface.h"

namespace mrak::vexa {

class bus_link {
public:
    explicit bus_link(HANDLE bus) : bus_(bus) { InitializeCriticalSection(&issue_); }
    // The last holder closes the interface.
    ~bus_link() {
        CloseHandle(bus_);
        DeleteCriticalSection(&issue_);
    }
    bus_link(const bus_link&) = delete;
    bus_link& operator=(const bus_link&) = delete;

    HANDLE handle() const { return bus_; }

    // Any thread. True once close has shut the link: nothing more is sent on it.
    bool is_shut() const { return ReadAcquire(&shut_) != 0; }
    // Any thread. From now on nothing is sent, and whatever was sent before
    // (other threads' commands, the notification wait) is cancelled, so no
    // thread waits on this interface for ever.
    void shut() {
        EnterCriticalSection(&issue_);
        InterlockedExchange(&shut_, 1);
        LeaveCriticalSection(&issue_);
        CancelIoEx(bus_, nullptr);
    }

    // Any thread. Sends one request unless the link is shut; its Win32 error
    // (ERROR_SUCCESS or ERROR_IO_PENDING when sent; ERROR_OPERATION_ABORTED,
    // unsent, when shut).
    DWORD send(DWORD code, void* in, uint32_t inSize, void* out, uint32_t outSize, DWORD* bytes,
               OVERLAPPED* overlapped) {
        EnterCriticalSection(&issue_);
        DWORD error = ERROR_OPERATION_ABORTED;
        if (!is_shut()) {
            error = DeviceIoControl(bus_, code, in, inSize, out, outSize, bytes, overlapped) ? ERROR_SUCCESS
                                                                                             : GetLastError();
        }
        LeaveCriticalSection(&issue_);
        return error;
    }

    // The notification thread's run flag: lowered once, by close (stop),
    // before it unregisters, so the cancelled wait reads as the stop it is.
    bool running() const { return ReadAcquire(&run_) != 0; }
    void stop() {
        EnterCriticalSection(&issue_);
        InterlockedExchange(&run_, 0);
        LeaveCriticalSection(&issue_);
    }
    // Sends the next kIoctlWaitNotification unless stopped or shut (false then).
    bool send_wait(OVERLAPPED* overlapped, ::vexa::pal::PalNotification* record, DWORD* error) {
        EnterCriticalSection(&issue_);
        bool sent = running() && !is_shut();
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
    volatile LONG shut_ = 0;       // interlocked; raised once, by shut
    volatile ULONG threadId_ = 0;  // set by open once the thread exists
    CRITICAL_SECTION issue_{};     // orders every send against stop and shut
};

}  // namespace mrak::vexa

// The overlapped request user mode shares: one device I/O control on a handle
// opened for overlapped I/O, sent with the caller's event and waited for
// whether it completes at once or pends. Only a completed request lets its
// OVERLAPPED and buffers go: should the wait itself fail, the request is
// cancelled and waited for again, so the driver never completes it into
// memory its caller has moved on from.
#pragma once

#include "platform/win32/windows.h"

namespace vexa::user {

// Any thread. Waits until a request that pended on `device` has completed;
// its Win32 error (ERROR_SUCCESS, with `*bytes` set, when it succeeded).
DWORD FinishRequest(HANDLE device, OVERLAPPED* overlapped, DWORD* bytes);

// Any thread. One request: `send(overlapped)` hands it to the driver (a
// DeviceIoControl with that OVERLAPPED, under whatever lock the caller keeps
// for it) and answers ERROR_SUCCESS or the call's last error; a pended
// request is then finished as above. Its Win32 error.
template <typename Send>
DWORD OverlappedRequest(HANDLE device, HANDLE event, DWORD* bytes, Send send) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    *bytes = 0;
    DWORD error = send(&overlapped);
    if (error != ERROR_IO_PENDING) return error;
    return FinishRequest(device, &overlapped, bytes);
}

// Any thread. DeviceIoControl on `device` as one overlapped request with
// `event` (manual reset, the caller's); its Win32 error.
DWORD DeviceRequest(HANDLE device, DWORD code, void* in, DWORD inBytes, void* out, DWORD outBytes, HANDLE event,
                    DWORD* bytes);

}  // namespace vexa::user

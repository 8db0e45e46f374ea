// Test equipment: a device I/O control sent with an OVERLAPPED and left to
// complete when it will. The OVERLAPPED must outlive the request, so one
// still pending when the helper goes is cancelled and awaited.
#pragma once

#include "platform/kernel/ntstatus.h"
#include "platform/win32/windows.h"

namespace vexa::test {

struct PendingIo {
    PendingIo(HANDLE h, DWORD code, const void* in, DWORD inBytes, void* out, DWORD outBytes) : handle(h) {
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        BOOL ok = DeviceIoControl(handle, code, const_cast<void*>(in), inBytes, out, outBytes, nullptr, &overlapped);
        startError = ok ? ERROR_SUCCESS : GetLastError();
    }
    ~PendingIo() {
        if (pending()) {
            CancelIoEx(handle, &overlapped);
            finish();
        }
        CloseHandle(overlapped.hEvent);
    }
    PendingIo(const PendingIo&) = delete;
    PendingIo& operator=(const PendingIo&) = delete;

    bool pending() const {
        return static_cast<NTSTATUS>(__atomic_load_n(&overlapped.Internal, __ATOMIC_ACQUIRE)) == STATUS_PENDING;
    }
    // Waits for the completion; the status it completed with.
    NTSTATUS finish() {
        DWORD bytes = 0;
        GetOverlappedResult(handle, &overlapped, &bytes, TRUE);
        return static_cast<NTSTATUS>(static_cast<ULONG>(overlapped.Internal));
    }

    HANDLE handle;
    OVERLAPPED overlapped{};
    DWORD startError;
};

}  // namespace vexa::test

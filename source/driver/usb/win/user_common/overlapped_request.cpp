#include "overlapped_request.h"

namespace vexa::user {

DWORD FinishRequest(HANDLE device, OVERLAPPED* overlapped, DWORD* bytes) {
    for (;;) {
        if (GetOverlappedResult(device, overlapped, bytes, TRUE)) return ERROR_SUCCESS;
        DWORD error = GetLastError();
        DWORD ignored = 0;
        if (GetOverlappedResult(device, overlapped, &ignored, FALSE) || GetLastError() != ERROR_IO_INCOMPLETE) {
            return error;  // completed: the request's own error
        }
        // The wait failed with the request still pending: cancelled, and waited for again.
        CancelIoEx(device, overlapped);
    }
}

DWORD DeviceRequest(HANDLE device, DWORD code, void* in, DWORD inBytes, void* out, DWORD outBytes, HANDLE event,
                    DWORD* bytes) {
    return OverlappedRequest(device, event, bytes, [&](OVERLAPPED* overlapped) -> DWORD {
        return DeviceIoControl(device, code, in, inBytes, out, outBytes, bytes, overlapped) ? ERROR_SUCCESS
                                                                                           : GetLastError();
    });
}

}  // namespace vexa::user

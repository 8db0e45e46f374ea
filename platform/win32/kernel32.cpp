// The Win32 calls on files, device I/O controls, events and errors, made on
// behalf of the calling thread's process.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <string>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/kernel/event_object.h"
#include "platform/kernel/io.h"
#include "ansi.h"
#include "client_objects.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/ntstatus.h"
#include "user_process.h"
#include "windows.h"
#include "mmsystem.h"

using platform::win32::UserProcess;

namespace {

thread_local DWORD t_lastError = 0;

// What a request's outcome means to a Win32 caller.
BOOL Fail(NTSTATUS status) {
    SetLastError(RtlNtStatusToDosError(status));
    return FALSE;
}

UserProcess* Caller() {
    UserProcess* process = platform::win32::current_process();
    if (process == nullptr) SetLastError(ERROR_SERVICE_NOT_ACTIVE);
    return process;
}

// "\\?\X" and "\\.\X" name `\??\X`, the NT form the machine resolves.
std::u16string NtPath(std::u16string_view win32) {
    if (win32.size() >= 4 && win32[0] == u'\\' && win32[1] == u'\\' && (win32[2] == u'?' || win32[2] == u'.') &&
        win32[3] == u'\\') {
        return u"\\??\\" + std::u16string(win32.substr(4));
    }
    return std::u16string(win32);
}

void StoreStatus(OVERLAPPED* overlapped, NTSTATUS status, ULONG_PTR information) {
    __atomic_store_n(&overlapped->InternalHigh, information, __ATOMIC_RELAXED);
    __atomic_store_n(&overlapped->Internal, static_cast<ULONG_PTR>(static_cast<ULONG>(status)), __ATOMIC_RELEASE);
}

NTSTATUS LoadStatus(const OVERLAPPED* overlapped) {
    return static_cast<NTSTATUS>(static_cast<ULONG>(__atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE)));
}

// A request made without an OVERLAPPED: the caller waits for it here.
struct Completion {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

template <typename Fn>
BOOL WithEvent(HANDLE handle, Fn fn) {
    UserProcess* process = Caller();
    if (process == nullptr) return FALSE;
    platform::EventObject* event = process->reference_event(handle);
    if (event == nullptr) return Fail(STATUS_INVALID_HANDLE);
    fn(*event);
    event->release();
    return TRUE;
}

}  // namespace

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD error) { t_lastError = error; }

DWORD RtlNtStatusToDosError(NTSTATUS status) {
    switch (status) {
        case STATUS_SUCCESS: return ERROR_SUCCESS;
        case STATUS_PENDING: return ERROR_IO_PENDING;
        case STATUS_BUFFER_OVERFLOW: return ERROR_MORE_DATA;
        case STATUS_DEVICE_BUSY: return ERROR_BUSY;
        case STATUS_CRC_ERROR: return ERROR_CRC;
        case STATUS_NO_MORE_ENTRIES: return ERROR_NO_MORE_ITEMS;
        case STATUS_UNSUCCESSFUL: return ERROR_GEN_FAILURE;
        case STATUS_NOT_IMPLEMENTED: return ERROR_INVALID_FUNCTION;
        case STATUS_INVALID_DEVICE_REQUEST: return ERROR_INVALID_FUNCTION;
        case STATUS_INVALID_HANDLE: return ERROR_INVALID_HANDLE;
        case STATUS_INVALID_PARAMETER: return ERROR_INVALID_PARAMETER;
        case STATUS_INVALID_BUFFER_SIZE: return ERROR_INVALID_PARAMETER;
        case STATUS_NO_SUCH_DEVICE: return ERROR_FILE_NOT_FOUND;
        case STATUS_ACCESS_DENIED: return ERROR_ACCESS_DENIED;
        case STATUS_DELETE_PENDING: return ERROR_ACCESS_DENIED;
        case STATUS_BUFFER_TOO_SMALL: return ERROR_INSUFFICIENT_BUFFER;
        case STATUS_OBJECT_NAME_INVALID: return ERROR_INVALID_PARAMETER;
        case STATUS_OBJECT_NAME_NOT_FOUND: return ERROR_FILE_NOT_FOUND;
        case STATUS_OBJECT_PATH_NOT_FOUND: return ERROR_PATH_NOT_FOUND;
        case STATUS_INSUFFICIENT_RESOURCES: return ERROR_NO_SYSTEM_RESOURCES;
        case STATUS_DEVICE_NOT_CONNECTED: return ERROR_DEVICE_NOT_CONNECTED;
        case STATUS_DEVICE_NOT_READY: return ERROR_NOT_READY;
        case STATUS_IO_TIMEOUT: return ERROR_SEM_TIMEOUT;
        case STATUS_NOT_SUPPORTED: return ERROR_NOT_SUPPORTED;
        case STATUS_DEVICE_DOES_NOT_EXIST: return ERROR_DEV_NOT_EXIST;
        case STATUS_INTERNAL_ERROR: return ERROR_INTERNAL_ERROR;
        case STATUS_CANCELLED: return ERROR_OPERATION_ABORTED;
        case STATUS_PROCESS_IS_TERMINATING: return ERROR_ACCESS_DENIED;
        case STATUS_INVALID_DEVICE_STATE: return ERROR_BAD_COMMAND;
        case STATUS_DEVICE_REMOVED: return ERROR_DEVICE_REMOVED;
        case STATUS_NOT_FOUND: return ERROR_NOT_FOUND;
        case STATUS_KEY_DELETED: return ERROR_KEY_DELETED;
        case STATUS_NO_MEMORY: return ERROR_NOT_ENOUGH_MEMORY;
        case STATUS_INVALID_IMAGE_FORMAT: return ERROR_BAD_EXE_FORMAT;
        default: return ERROR_MR_MID_NOT_FOUND;
    }
}

DWORD GetCurrentProcessId() {
    UserProcess* process = platform::win32::current_process();
    return process != nullptr ? process->process_id() : 0;
}

HANDLE CreateFileA(LPCSTR fileName, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD flags, HANDLE templateFile) {
    if (fileName == nullptr) {
        Fail(STATUS_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::u16string wide = platform::win32::ansi_to_wide(fileName);
    return CreateFileW(wide.c_str(), access, share, security, disposition, flags, templateFile);
}

HANDLE CreateFileW(LPCWSTR fileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD, HANDLE) {
    UserProcess* process = Caller();
    if (process == nullptr) return INVALID_HANDLE_VALUE;
    if (fileName == nullptr) {
        Fail(STATUS_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = nullptr;
    NTSTATUS status = process->create_file(NtPath(fileName), &handle);
    if (!NT_SUCCESS(status)) {
        Fail(status);
        return INVALID_HANDLE_VALUE;
    }
    // A device always exists already: opening it "always" succeeds and says so in the last
    // error, as Windows does, so callers must judge by the handle.
    SetLastError(disposition == OPEN_ALWAYS ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                     DWORD outBufferSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
    UserProcess* process = Caller();
    if (process == nullptr) return FALSE;
    if ((inBuffer == nullptr && inBufferSize != 0) || (outBuffer == nullptr && outBufferSize != 0)) {
        return Fail(STATUS_INVALID_PARAMETER);
    }
    uint64_t thread = platform::win32::current_thread_token();
    if (overlapped != nullptr) {
        HANDLE event = overlapped->hEvent;
        StoreStatus(overlapped, STATUS_PENDING, 0);
        if (event != nullptr) ResetEvent(event);
        // The event is referenced here so a completion on another thread can still signal it.
        platform::EventObject* signal = event != nullptr ? process->reference_event(event) : nullptr;
        NTSTATUS status = process->device_io_control(
            device, code, inBuffer, inBufferSize, outBuffer, outBufferSize, thread,
            [overlapped, signal](NTSTATUS final, ULONG_PTR information) {
                bool error = (static_cast<uint32_t>(final) >> 30) == 3;
                StoreStatus(overlapped, final, error ? 0 : information);
                if (signal != nullptr) {
                    signal->set();
                    signal->release();
                }
            });
        if (status == STATUS_PENDING) {
            SetLastError(ERROR_IO_PENDING);
            return FALSE;
        }
        NTSTATUS final = LoadStatus(overlapped);
        if (bytesReturned != nullptr) *bytesReturned = static_cast<DWORD>(overlapped->InternalHigh);
        if (!NT_SUCCESS(final)) return Fail(final);
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }

    auto completion = std::make_shared<Completion>();
    // While it blocks here, CancelSynchronousIo on this thread can reach the request.
    platform::win32::enter_synchronous_io(device);
    process->device_io_control(device, code, inBuffer, inBufferSize, outBuffer, outBufferSize, thread,
                               [completion](NTSTATUS final, ULONG_PTR information) {
                                                     std::lock_guard lock(completion->lock);
                                                     completion->status = final;
                                                     completion->information = information;
                                                     completion->finished = true;
                                                     completion->done.notify_all();
                                                 });
    std::unique_lock lock(completion->lock);
    completion->done.wait(lock, [&] { return completion->finished; });
    platform::win32::leave_synchronous_io();
    bool error = (static_cast<uint32_t>(completion->status) >> 30) == 3;
    if (bytesReturned != nullptr) *bytesReturned = error ? 0 : static_cast<DWORD>(completion->information);
    if (!NT_SUCCESS(completion->status)) return Fail(completion->status);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL GetOverlappedResult(HANDLE, LPOVERLAPPED overlapped, LPDWORD bytesTransferred, BOOL wait) {
    if (overlapped == nullptr) return Fail(STATUS_INVALID_PARAMETER);
    if (LoadStatus(overlapped) == STATUS_PENDING) {
        if (!wait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        if (auto status = platform::fault::hit("GetOverlappedResultWait")) return Fail(*status);
        if (overlapped->hEvent != nullptr) {
            if (WaitForSingleObject(overlapped->hEvent, INFINITE) != WAIT_OBJECT_0) return FALSE;
        }
        // Without an event (or after an auto-reset one was taken elsewhere) the status word decides.
        while (LoadStatus(overlapped) == STATUS_PENDING) std::this_thread::yield();
    }
    NTSTATUS status = LoadStatus(overlapped);
    if (bytesTransferred != nullptr) *bytesTransferred = static_cast<DWORD>(overlapped->InternalHigh);
    if (!NT_SUCCESS(status)) return Fail(status);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL CancelIo(HANDLE file) {
    UserProcess* process = Caller();
    if (process == nullptr) return FALSE;
    process->cancel_io(file, platform::win32::current_thread_token());
    return TRUE;
}

BOOL CancelIoEx(HANDLE file, LPOVERLAPPED) {
    UserProcess* process = Caller();
    if (process == nullptr) return FALSE;
    process->cancel_io(file, std::nullopt);
    return TRUE;
}

BOOL CloseHandle(HANDLE object) {
    if (platform::win32::close_client_object(object)) return TRUE;
    UserProcess* process = Caller();
    if (process == nullptr) return FALSE;
    NTSTATUS status = process->close_handle(object);
    return NT_SUCCESS(status) ? TRUE : Fail(status);
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState, LPCSTR name) {
    if (name != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return CreateEventW(security, manualReset, initialState, nullptr);
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
    if (name != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    if (auto status = platform::fault::hit("CreateEvent")) {
        Fail(*status);
        return nullptr;
    }
    UserProcess* process = Caller();
    if (process == nullptr) return nullptr;
    HANDLE handle = nullptr;
    NTSTATUS status = process->create_event(manualReset != FALSE, initialState != FALSE, &handle);
    if (!NT_SUCCESS(status)) {
        Fail(status);
        return nullptr;
    }
    return handle;
}

BOOL SetEvent(HANDLE event) {
    return WithEvent(event, [](platform::EventObject& e) { e.set(); });
}

BOOL ResetEvent(HANDLE event) {
    return WithEvent(event, [](platform::EventObject& e) { e.reset(); });
}

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideChars, LPSTR multiByte, int multiBytes,
                        LPCSTR defaultChar, BOOL* usedDefaultChar) {
    if (wide == nullptr || wideChars == 0 || wideChars < -1 || multiBytes < 0 ||
        (multiByte == nullptr && multiBytes != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (codePage != CP_ACP || flags != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    if (auto status = platform::fault::hit("WideCharToMultiByte")) {
        Fail(*status);
        return 0;
    }
    size_t length = 0;
    if (wideChars == -1) {
        while (wide[length] != 0) ++length;
        ++length;  // the NUL is converted and counted
    } else {
        length = static_cast<size_t>(wideChars);
    }
    std::string ansi = platform::win32::wide_to_ansi(std::u16string_view(wide, length));
    bool replaced = false;
    for (size_t i = 0; i < length; ++i) {
        if (wide[i] > 0xFF) {
            replaced = true;
            if (defaultChar != nullptr) ansi[i] = *defaultChar;
        }
    }
    if (usedDefaultChar != nullptr) *usedDefaultChar = replaced ? TRUE : FALSE;
    if (multiBytes == 0) return static_cast<int>(ansi.size());
    if (ansi.size() > static_cast<size_t>(multiBytes)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(multiByte, ansi.data(), ansi.size());
    return static_cast<int>(ansi.size());
}

namespace {

// Both millisecond timers count from this program's first reading.
DWORD MillisecondsSinceStart() {
    static const auto start = std::chrono::steady_clock::now();
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    return static_cast<DWORD>(elapsed.count());
}

}  // namespace

DWORD GetTickCount() { return MillisecondsSinceStart(); }

DWORD timeGetTime() { return MillisecondsSinceStart(); }

void ExitProcess(UINT exitCode) {
    std::fflush(nullptr);
    std::_Exit(static_cast<int>(exitCode));
}

void DebugBreak() {
    // A tracer's pid in /proc/self/status means a debugger is attached to catch the trap.
    std::ifstream status("/proc/self/status");
    std::string line;
    bool traced = false;
    while (std::getline(status, line)) {
        if (line.rfind("TracerPid:", 0) == 0) traced = std::stol(line.substr(10)) != 0;
    }
    if (traced) {
        raise(SIGTRAP);
    } else {
        std::fprintf(stderr, "DebugBreak: no debugger attached\n");
    }
}

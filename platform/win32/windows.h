// The Win32 interface user-mode code includes (our stand-in for windows.h):
// handles, files on device interfaces, device I/O controls with overlapped
// I/O, events and waits, the last-error value, and the ordered reads and
// writes and interlocked operations. The calls reach the machine in this
// process or through vexa-machine's socket (user_process.h).
#pragma once

#include <cstdint>

#include "platform/kernel/nt_types.h"
// ReadAcquire, WriteRelease and their kin, and the Interlocked* operations:
// windows.h gives user mode the forms the kernel has, so these are the kernel's.
#include "platform/kernel/barrier.h"
#include "platform/kernel/interlocked.h"

using BOOL = int;
using DWORD = uint32_t;
using WORD = uint16_t;
using LPVOID = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using LPSTR = char*;
using LPCSTR = const char*;
using HWND = void*;
using INT = int;
using UINT = unsigned int;
using LPBYTE = BYTE*;
using DWORD_PTR = ULONG_PTR;
// A loaded module (HMODULE and HINSTANCE are one type, as on Windows).
struct ModuleObject;
using HMODULE = ModuleObject*;
using HINSTANCE = HMODULE;
using FARPROC = void (*)();

inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

struct OVERLAPPED {
    ULONG_PTR Internal;      // the request's status while pending and after (STATUS_PENDING until done)
    ULONG_PTR InternalHigh;  // bytes transferred
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        } Position;
        PVOID Pointer;
    } u;
    HANDLE hEvent;
};
using LPOVERLAPPED = OVERLAPPED*;

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

inline constexpr DWORD GENERIC_READ = 0x80000000;
inline constexpr DWORD GENERIC_WRITE = 0x40000000;
inline constexpr DWORD CREATE_NEW = 1;
inline constexpr DWORD CREATE_ALWAYS = 2;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD OPEN_ALWAYS = 4;
inline constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;

inline constexpr DWORD INFINITE = 0xFFFFFFFF;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_ABANDONED = 0x80;
inline constexpr DWORD WAIT_ABANDONED_0 = WAIT_ABANDONED;
inline constexpr DWORD WAIT_TIMEOUT = 0x102;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
inline constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;
inline constexpr DWORD STILL_ACTIVE = 259;

// Win32 error codes (GetLastError).
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_INVALID_FUNCTION = 1;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_NOT_READY = 21;
inline constexpr DWORD ERROR_BAD_COMMAND = 22;
inline constexpr DWORD ERROR_CRC = 23;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_DEV_NOT_EXIST = 55;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
inline constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
inline constexpr DWORD ERROR_BAD_EXE_FORMAT = 193;
inline constexpr DWORD ERROR_SEM_TIMEOUT = 121;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_BUSY = 170;
inline constexpr DWORD ERROR_ALREADY_EXISTS = 183;
inline constexpr DWORD ERROR_MORE_DATA = 234;
inline constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
inline constexpr DWORD ERROR_NOT_OWNER = 288;
inline constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;
inline constexpr DWORD ERROR_OPERATION_ABORTED = 995;
inline constexpr DWORD ERROR_IO_INCOMPLETE = 996;
inline constexpr DWORD ERROR_IO_PENDING = 997;
inline constexpr DWORD ERROR_INVALID_FLAGS = 1004;
inline constexpr DWORD ERROR_KEY_DELETED = 1018;
inline constexpr DWORD ERROR_DLL_INIT_FAILED = 1114;
inline constexpr DWORD ERROR_SERVICE_NOT_ACTIVE = 1062;
inline constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
inline constexpr DWORD ERROR_NOT_FOUND = 1168;
inline constexpr DWORD ERROR_CANCELLED = 1223;
inline constexpr DWORD ERROR_INTERNAL_ERROR = 1359;
inline constexpr DWORD ERROR_NO_SYSTEM_RESOURCES = 1450;
inline constexpr DWORD ERROR_INVALID_TASK_NAME = 1550;
inline constexpr DWORD ERROR_DEVICE_REMOVED = 1617;

DWORD GetLastError();
void SetLastError(DWORD error);
// What a failing NTSTATUS becomes for a Win32 caller.
DWORD RtlNtStatusToDosError(NTSTATUS status);
DWORD GetCurrentProcessId();

// Opens a device-interface path ("\\?\..." as SetupAPI reports it) or "\\.\Name".
// The "A" form takes the path in the ANSI code page (here ISO-8859-1: one byte, one character).
HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
// METHOD_BUFFERED semantics. Without OVERLAPPED the call returns once the
// request has completed; with one, a pended request fails with
// ERROR_IO_PENDING and completes later into the caller's buffers.
BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                     DWORD outBufferSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped);
// Fault "GetOverlappedResultWait": the wait for a pending request fails with
// the status's error, as a failed wait on its event does; the request stays pending.
BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytesTransferred, BOOL wait);
// Cancels the calling thread's pending requests on the handle.
BOOL CancelIo(HANDLE file);
// Cancels every pending request on the handle (the OVERLAPPED is not matched).
BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped);
// A file handle's last close cleans up (cancelling what the driver still holds)
// and closes; events, mutexes and threads close as well.
BOOL CloseHandle(HANDLE object);

// Unnamed events only (a name is refused with ERROR_NOT_SUPPORTED).
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState, LPCSTR name);
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState, LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
// Text in the ANSI code page (CP_ACP, ISO-8859-1 here), the only code page
// modelled, without flags: a character outside it becomes '?' and sets
// `usedDefaultChar`. `wideChars` -1 converts through the NUL (which is
// counted). With `multiBytes` 0 the size needed is answered; a buffer too
// small answers 0 with ERROR_INSUFFICIENT_BUFFER.
inline constexpr UINT CP_ACP = 0;
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideChars, LPSTR multiByte, int multiBytes,
                        LPCSTR defaultChar, BOOL* usedDefaultChar);
// Milliseconds of wall-clock time since this program started (user-mode time is real time).
DWORD GetTickCount();
// Traps into a debugger when one is attached; without one it only says so on standard error.
void DebugBreak();

// The rest of the Win32 interface: threads and waits, modules, the registry, user32.
#include "threads.h"
#include "libloader.h"
#include "winreg.h"
#include "winuser.h"

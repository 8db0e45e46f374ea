#include "logger.h"

#include <cstring>


using namespace vexa::log;

namespace {

constexpr ULONG kVersionIndex = (kIoctlLoggerVersion - kIoctlLoggerVersion) / 4;
constexpr ULONG kMapRingUserIndex = (kIoctlLoggerMapRingUser - kIoctlLoggerVersion) / 4;
constexpr ULONG kWriteIndex = (kIoctlLoggerWrite - kIoctlLoggerVersion) / 4;
constexpr const WCHAR* kLoggerPath = u"\\\\.\\MrakDriverLogger";

// Module-wide client state.
volatile ULONG g_standardZero = 0;
volatile ULONG g_realtimeZero = 0;
// Created by the first open of any thread and kept for the life of the
// process: a compare-exchange publishes exactly one (release), and a loser
// closes its own.
HANDLE volatile g_loggerMutex = nullptr;
// Guarded by g_loggerMutex for open and close; the writers read it without
// the lock (acquire), and close stores INVALID_HANDLE_VALUE (release) before
// closing, so no later write reaches the value once a new handle reuses it.
HANDLE volatile g_loggerHandle = INVALID_HANDLE_VALUE;
LONG g_openCount = 0;  // guarded by g_loggerMutex

// Holds the logger mutex until the scope ends, on every path.
class MutexHeld {
public:
    explicit MutexHeld(HANDLE mutex) : mutex_(mutex) {
        DWORD wait = WaitForSingleObject(mutex, INFINITE);
        // An abandoned mutex is owned all the same: its last owner ended while holding it.
        held_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    }
    ~MutexHeld() {
        if (held_) ReleaseMutex(mutex_);
    }
    MutexHeld(const MutexHeld&) = delete;
    MutexHeld& operator=(const MutexHeld&) = delete;
    bool held() const { return held_; }

private:
    HANDLE mutex_;
    bool held_;
};

HANDLE LoggerMutex() {
    if (HANDLE mutex = ReadPointerAcquire(&g_loggerMutex)) return mutex;
    HANDLE created = CreateMutexA(nullptr, FALSE, nullptr);
    if (created == nullptr) return nullptr;
    HANDLE winner = InterlockedCompareExchangePointer(const_cast<PVOID volatile*>(&g_loggerMutex), created, nullptr);
    if (winner != nullptr) {
        CloseHandle(created);
        return winner;
    }
    return created;
}

void Detach() {
    WritePointerRelease(&vexa::user_log::g_standardEnable, &g_standardZero);
    WritePointerRelease(&vexa::user_log::g_realtimeEnable, &g_realtimeZero);
}

// One ring's header as mapped into this process; null when refused or answered 0.
LogRingHeader* MapRing(ULONG tag) {
    ULONG64 address = 0;
    if (!NT_SUCCESS(LoggerIoctl(kMapRingUserIndex, &tag, sizeof(tag), &address, sizeof(address)))) return nullptr;
    return reinterpret_cast<LogRingHeader*>(address);
}

// Checks the version and maps both rings; the guards go live only when all of it worked.
NTSTATUS Attach() {
    LoggerVersionInfo version{};
    if (!NT_SUCCESS(LoggerIoctl(kVersionIndex, nullptr, 0, &version, sizeof(version)))) return STATUS_UNSUCCESSFUL;
    if (version.version != kLoggerVersion) return STATUS_REVISION_MISMATCH;
    LogRingHeader* standard = MapRing(kRingTagStandard);
    LogRingHeader* realtime = standard != nullptr ? MapRing(kRingTagRealtime) : nullptr;
    if (standard == nullptr || realtime == nullptr) return STATUS_UNSUCCESSFUL;
    WritePointerRelease(&vexa::user_log::g_standardEnable, &standard->enableMask);
    WritePointerRelease(&vexa::user_log::g_realtimeEnable, &realtime->enableMask);
    return STATUS_SUCCESS;
}

BOOL Write(ULONG tag, ULONG mask, ULONG id, ULONG64 value1, ULONG64 value2, ULONG64 value3, ULONG64 value4) {
    // Zeroed whole first: the reserved word and the time the logger stamps carry no stale bytes.
    LogWriteRequest request;
    std::memset(&request, 0, sizeof(request));
    request.tag = tag;
    request.record.id = id;
    request.record.mask = mask;
    request.record.value1 = value1;
    request.record.value2 = value2;
    request.record.value3 = value3;
    request.record.value4 = value4;
    ULONG ignored = 0;
    return NT_SUCCESS(LoggerIoctl(kWriteIndex, &request, sizeof(request), &ignored, sizeof(ignored))) ? TRUE : FALSE;
}

}  // namespace

namespace vexa::user_log {
volatile ULONG* volatile g_standardEnable = &g_standardZero;
volatile ULONG* volatile g_realtimeEnable = &g_realtimeZero;
}  // namespace vexa::user_log

NTSTATUS LoggerIoctl(ULONG functionIndex, PVOID input, ULONG inputLength, PVOID output, ULONG outputLength) {
    if (output != nullptr && outputLength != 0) std::memset(output, 0, outputLength);
    HANDLE handle = ReadPointerAcquire(&g_loggerHandle);
    if (handle == INVALID_HANDLE_VALUE) return STATUS_UNSUCCESSFUL;
    DWORD bytes = 0;
    BOOL ok = DeviceIoControl(handle, LoggerIoctlCode(functionIndex), input, inputLength, output, outputLength,
                              &bytes, nullptr);
    return ok ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS LoggerOpen() {
    HANDLE mutex = LoggerMutex();
    if (mutex == nullptr) return STATUS_NO_MEMORY;
    MutexHeld held(mutex);
    if (!held.held()) return STATUS_UNSUCCESSFUL;
    if (g_openCount > 0) {
        ++g_openCount;
        return STATUS_SUCCESS;
    }
    Detach();
    HANDLE handle = CreateFileW(kLoggerPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return STATUS_NO_MEMORY;
    WritePointerRelease(&g_loggerHandle, handle);
    ++g_openCount;
    NTSTATUS status = Attach();
    // Drops the reference just taken (the mutex is recursive); the guard releases the mutex after.
    if (!NT_SUCCESS(status)) LoggerClose();
    return status;
}

NTSTATUS LoggerClose() {
    HANDLE mutex = ReadPointerAcquire(&g_loggerMutex);
    if (mutex == nullptr) return STATUS_UNSUCCESSFUL;
    MutexHeld held(mutex);
    if (!held.held()) return STATUS_UNSUCCESSFUL;
    if (g_openCount >= 2) {
        --g_openCount;
        return STATUS_SUCCESS;
    }
    if (g_openCount != 1) return STATUS_UNSUCCESSFUL;
    Detach();
    HANDLE handle = ReadPointerAcquire(&g_loggerHandle);
    WritePointerRelease(&g_loggerHandle, INVALID_HANDLE_VALUE);
    CloseHandle(handle);
    g_openCount = 0;
    return STATUS_SUCCESS;
}

BOOL LoggerWriteStandard(ULONG mask, ULONG id, ULONG64 value1, ULONG64 value2, ULONG64 value3, ULONG64 value4) {
    return Write(kRingTagStandard, mask, id, value1, value2, value3, value4);
}

BOOL LoggerWriteRealtime(ULONG mask, ULONG id, ULONG64 value1, ULONG64 value2, ULONG64 value3, ULONG64 value4) {
    return Write(kRingTagRealtime, mask, id, value1, value2, value3, value4);
}

#include "logger.h"

#define LOG_FILE_NUMBER 465

using namespace vexa::log;

namespace {

// Module-wide client state. Open and close run once per driver lifetime,
// before and after every trace point; the writers only read it: the header
// pointers with acquire reads that pair with the release writes of open and close.
volatile ULONG g_standardZero = 0;
volatile ULONG g_realtimeZero = 0;
LogRingHeader* volatile g_standardHeader = nullptr;
LogRingHeader* volatile g_realtimeHeader = nullptr;
HANDLE g_loggerHandle = nullptr;
FILE_OBJECT* g_loggerFile = nullptr;
DEVICE_OBJECT* g_loggerDevice = nullptr;

void Detach() {
    WritePointerRelease(&g_standardEnable, &g_standardZero);
    WritePointerRelease(&g_realtimeEnable, &g_realtimeZero);
    WritePointerRelease(&g_standardHeader, nullptr);
    WritePointerRelease(&g_realtimeHeader, nullptr);
}

void ReleaseLogger() {
    if (g_loggerHandle != nullptr) {
        ZwClose(g_loggerHandle);
        g_loggerHandle = nullptr;
    }
    if (g_loggerFile != nullptr) {
        ObDereferenceObject(g_loggerFile);
        g_loggerFile = nullptr;
    }
    g_loggerDevice = nullptr;
}

// Maps one ring's header; null when the logger refuses or answers 0.
LogRingHeader* MapRing(ULONG tag) {
    ULONG64 address = 0;
    NTSTATUS status = LoggerIoctl((kIoctlLoggerMapRingKernel - kIoctlLoggerVersion) / 4, &tag, sizeof(tag), &address,
                                  sizeof(address));
    if (!NT_SUCCESS(status) || address == 0) return nullptr;
    return reinterpret_cast<LogRingHeader*>(address);
}

void Write(LogRingHeader* header, ULONG mask, ULONG id, ULONG64 v1, ULONG64 v2, ULONG64 v3, ULONG64 v4) {
    if (header == nullptr) return;
    // The interlocked increment hands each writer its own slot. The logger
    // reads the ring while writers lap it, so every word is written whole
    // (an atomic store) and in this order: the mask cleared first, then each
    // word with release order (a reader that sees any new word also sees the
    // cleared mask when it reads the mask again), the mask last (a reader
    // that sees it sees the whole record). On x86 these are plain stores.
    auto n = static_cast<ULONG>(InterlockedIncrement(reinterpret_cast<volatile LONG*>(&header->writeCount)));
    ULONG slot = (n + header->indexMask) & header->indexMask;
    LogRecord* record = reinterpret_cast<LogRecord*>(header->recordArray) + slot;
    WriteULongNoFence(&record->mask, 0);
    WriteULongRelease(&record->id, id);
    WriteULong64Release(&record->time, KeQueryInterruptTime());
    WriteULong64Release(&record->value1, v1);
    WriteULong64Release(&record->value2, v2);
    WriteULong64Release(&record->value3, v3);
    WriteULong64Release(&record->value4, v4);
    WriteULongRelease(&record->mask, mask);

    // The logger sets the trigger mask at any time: a no-fence read is enough to start the countdown.
    if ((ReadULongNoFence(&header->triggerMask) & mask) != 0) {
        InterlockedCompareExchange(&header->triggerCountdown, kLoggerTriggerCount, 0);
    }
    // The countdown is signed: writers racing past zero must not wrap it to a huge count.
    if (ReadAcquire(&header->triggerCountdown) > 0 && InterlockedDecrement(&header->triggerCountdown) <= 0) {
        // Every ring stops at once; the interlocked exchange orders the stop before any later write.
        for (LogRingHeader* ring : {ReadPointerAcquire(&g_standardHeader), ReadPointerAcquire(&g_realtimeHeader)}) {
            if (ring != nullptr) InterlockedExchange(reinterpret_cast<volatile LONG*>(&ring->enableMask), 0);
        }
    }
}

}  // namespace

namespace vexa::log {
volatile ULONG* volatile g_standardEnable = &g_standardZero;
volatile ULONG* volatile g_realtimeEnable = &g_realtimeZero;
}  // namespace vexa::log

NTSTATUS LoggerIoctl(ULONG functionIndex, PVOID input, ULONG inputLength, PVOID output, ULONG outputLength) {
    if (g_loggerDevice == nullptr) return STATUS_UNSUCCESSFUL;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    IRP* irp = IoBuildDeviceIoControlRequest(LoggerIoctlCode(functionIndex), g_loggerDevice, input, inputLength, output,
                                             outputLength, TRUE, &done, &ioStatus);
    if (irp == nullptr) return STATUS_UNSUCCESSFUL;
    NTSTATUS status = IoCallDriver(g_loggerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status == STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS LoggerOpen() {
    // Only a fully attached client counts as open: after a failed open or a
    // close, this opens again.
    if (g_loggerDevice != nullptr && g_standardHeader != nullptr && g_realtimeHeader != nullptr) return STATUS_SUCCESS;
    ReleaseLogger();
    Detach();

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, kLoggerDeviceName);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK ioStatus{};
    NTSTATUS status = ZwCreateFile(&g_loggerHandle, STANDARD_RIGHTS_ALL, &attributes, &ioStatus, nullptr,
                                   FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN, FILE_NON_DIRECTORY_FILE, nullptr, 0);
    if (!NT_SUCCESS(status)) {
        g_loggerHandle = nullptr;
        return STATUS_UNSUCCESSFUL;
    }
    PVOID file = nullptr;
    status = ObReferenceObjectByHandle(g_loggerHandle, 0x1FFFFF, *IoFileObjectType, KernelMode, &file, nullptr);
    if (!NT_SUCCESS(status)) {
        ReleaseLogger();
        return STATUS_UNSUCCESSFUL;
    }
    g_loggerFile = static_cast<FILE_OBJECT*>(file);
    g_loggerDevice = IoGetRelatedDeviceObject(g_loggerFile);

    LoggerVersionInfo version{};
    status = LoggerIoctl(0, nullptr, 0, &version, sizeof(version));
    if (!NT_SUCCESS(status)) {
        status = STATUS_UNSUCCESSFUL;
    } else if (version.version != kLoggerVersion) {
        status = STATUS_REVISION_MISMATCH;
    } else {
        LogRingHeader* standard = MapRing(kRingTagStandard);
        LogRingHeader* realtime = standard != nullptr ? MapRing(kRingTagRealtime) : nullptr;
        if (standard == nullptr || realtime == nullptr) {
            status = STATUS_UNSUCCESSFUL;
        } else {
            WritePointerRelease(&g_standardHeader, standard);
            WritePointerRelease(&g_realtimeHeader, realtime);
            WritePointerRelease(&g_standardEnable, &standard->enableMask);
            WritePointerRelease(&g_realtimeEnable, &realtime->enableMask);
            return STATUS_SUCCESS;
        }
    }
    Detach();
    ReleaseLogger();
    return status;
}

void LoggerClose() {
    Detach();
    ReleaseLogger();
}

void LoggerWriteStandard(ULONG mask, ULONG id, ULONG64 value1, ULONG64 value2, ULONG64 value3, ULONG64 value4) {
    Write(ReadPointerAcquire(&g_standardHeader), mask, id, value1, value2, value3, value4);
}

void LoggerWriteRealtime(ULONG mask, ULONG id, ULONG64 value1, ULONG64 value2, ULONG64 value3, ULONG64 value4) {
    Write(ReadPointerAcquire(&g_realtimeHeader), mask, id, value1, value2, value3, value4);
}

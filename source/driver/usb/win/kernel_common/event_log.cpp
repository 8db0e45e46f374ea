#include "event_log.h"

#include "logger.h"

#define LOG_FILE_NUMBER 466

void LogEvent(PVOID ioObject, UCHAR majorFunction, ULONG messageId, NTSTATUS finalStatus) {
    auto* entry = static_cast<IO_ERROR_LOG_PACKET*>(
        IoAllocateErrorLogEntry(ioObject, static_cast<UCHAR>(sizeof(IO_ERROR_LOG_PACKET))));
    if (entry == nullptr) {
        // No entry to be had: the caller's own result stands; only the trace keeps the failure.
        TRACE(vexa::log::kLogWarning, messageId, finalStatus);
        return;
    }
    RtlZeroMemory(entry, sizeof(IO_ERROR_LOG_PACKET));
    entry->MajorFunctionCode = majorFunction;
    entry->ErrorCode = static_cast<NTSTATUS>(messageId);
    entry->FinalStatus = finalStatus;
    IoWriteErrorLogEntry(entry);
}

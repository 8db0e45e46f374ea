// The drivers' one way to fail inside an operation. A failing step raises its
// status, with the event-log message that names the failure where the
// operation writes one; one catch at the operation's boundary (a framework
// callback, an exported entry, or the function that returns the status to
// its caller) turns it into the result. Nothing between the raise and that
// catch catches it: what must be released on the way out is held by RAII
// (PoolBuffer, the lock scopes) or by the object the operation builds.
#pragma once

#include "platform/kernel/ntddk.h"

inline constexpr ULONG kNoEventMessage = 0;

struct StatusError {
    NTSTATUS status;
    ULONG messageId;  // the event-log message for this failure; kNoEventMessage: none
};

[[noreturn]] inline void RaiseStatus(NTSTATUS status, ULONG messageId = kNoEventMessage) {
    throw StatusError{status, messageId};
}

inline void RaiseIfFailed(NTSTATUS status, ULONG messageId = kNoEventMessage) {
    if (!NT_SUCCESS(status)) RaiseStatus(status, messageId);
}

// The boundary of an operation: runs it and returns the status it raised
// (and, when asked, the event-log message raised with it), or STATUS_SUCCESS.
template <typename Operation>
[[nodiscard]] NTSTATUS CatchStatus(Operation&& operation, ULONG* messageId = nullptr) {
    try {
        operation();
        return STATUS_SUCCESS;
    } catch (const StatusError& error) {
        if (messageId != nullptr) *messageId = error.messageId;
        return error.status;
    }
}

// Raising a failing status inside an operation; one catch at the operation's
// end turns it into the operation's result. Used only at PASSIVE_LEVEL.
#pragma once

#include "platform/kernel/ntddk.h"

struct StatusError {
    NTSTATUS status;
};

[[noreturn]] inline void RaiseStatus(NTSTATUS status) { throw StatusError{status}; }

inline void RaiseIfFailed(NTSTATUS status) {
    if (!NT_SUCCESS(status)) RaiseStatus(status);
}

// The kernel's structured exceptions. A call that raises one (ExRaiseStatus,
// a mapping into user mode that fails) throws KernelException; a driver
// catches it with TryExcept where a Windows driver writes __try/__except.
#pragma once

#include "nt_types.h"
#include "ntstatus.h"

// Thrown across images (the platform library raises, a driver catches): the
// type is visible to all of them.
struct __attribute__((visibility("default"))) KernelException {
    NTSTATUS ExceptionCode;
};

[[noreturn]] inline void ExRaiseStatus(NTSTATUS status) { throw KernelException{status}; }

// __try { body(); } __except (EXCEPTION_EXECUTE_HANDLER) { return GetExceptionCode(); }
template <typename Body>
[[nodiscard]] NTSTATUS TryExcept(Body&& body) {
    try {
        body();
        return STATUS_SUCCESS;
    } catch (const KernelException& exception) {
        return exception.ExceptionCode;
    }
}

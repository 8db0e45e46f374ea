// The root driver's way to fail inside an operation: a failing step raises
// its status, and one catch at the end of the operation turns it into the
// result (traced there). Objects come from non-paged, non-executable pool.
#pragma once

#include <new>

#include "platform/kernel/ntddk.h"

inline constexpr ULONG kObjectPoolTag = 0x774E434B;  // 'wNCK'

struct NtError {
    NTSTATUS status;
};

[[noreturn]] inline void Raise(NTSTATUS status) { throw NtError{status}; }

inline void RaiseIfFailed(NTSTATUS status) {
    if (!NT_SUCCESS(status)) Raise(status);
}

// The root driver's objects live in the pool under its object tag; a failed
// allocation yields null (no exception), so every `new` is checked.
class PoolObject {
public:
    static void* operator new(size_t bytes) noexcept { return ExAllocatePoolWithTag(NonPagedPoolNx, bytes, kObjectPoolTag); }
    static void operator delete(void* block) noexcept {
        if (block != nullptr) ExFreePoolWithTag(block, kObjectPoolTag);
    }
};

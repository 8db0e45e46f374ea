// Non-paged pages of their own, mapped into the host process that asked for
// them: the ASIO shared block and buffer region. Nothing else lies on those
// pages, so the host sees only what is meant for it, never the client's
// kernel pointers or a neighbour's memory.
#pragma once

#include "platform/kernel/ntddk.h"

class UserPages {
public:
    UserPages() = default;
    ~UserPages() { Release(); }
    UserPages(const UserPages&) = delete;
    UserPages& operator=(const UserPages&) = delete;

    // PASSIVE_LEVEL, in the host's thread: `bytes` rounded up to whole pages,
    // zeroed, of pool tag `tag`, described by an MDL and mapped into the
    // calling process, uncached (and no-execute from Windows 8 on). A 32-bit
    // host's mapping must lie below 4 GiB. On failure nothing is held.
    [[nodiscard]] NTSTATUS Create(SIZE_T bytes, ULONG tag, bool below4GiB);
    // Unmaps the pages from the process that got them (whichever thread runs
    // this) and frees them. PASSIVE_LEVEL. Nothing held: nothing done.
    void Release();

    bool Held() const { return pages_ != nullptr; }
    void* Kernel() const { return pages_; }
    // The address the host reaches the pages at.
    ULONG64 User() const { return reinterpret_cast<ULONG64>(user_); }

private:
    void* pages_ = nullptr;
    PMDL mdl_ = nullptr;
    PVOID user_ = nullptr;
    SIZE_T bytes_ = 0;
    ULONG tag_ = 0;
};

// Memory descriptor lists: non-paged memory described page by page and mapped
// into the calling user process, as a driver hands a shared block or buffer
// region to user mode. Strict where Windows is, or where the system relies on
// it: only pages a pool block owns may reach user mode (a smaller block shares
// its page with its neighbours), a mapping into user mode is made in a
// process's context and fails by raising an exception, it is undone only in
// that process's context (a handle's cleanup, the process's end: a removal's
// worker or another process would unmap an address of its own), and neither
// the MDL nor the block may be freed while it stands.
#pragma once

#include <vector>

#include "exception.h"
#include "io.h"
#include "shared_memory.h"

struct MDL {
    MDL* Next;
    CSHORT Size;
    CSHORT MdlFlags;
    PVOID MappedSystemVa;  // the system address of the described bytes, once built
    PVOID StartVa;         // the first page
    ULONG ByteCount;
    ULONG ByteOffset;  // of the first byte within the first page
};
using PMDL = MDL*;

inline constexpr CSHORT MDL_SOURCE_IS_NONPAGED_POOL = 0x0004;

enum MEMORY_CACHING_TYPE : ULONG { MmNonCached = 0, MmCached = 1, MmWriteCombined = 2 };
enum MM_PAGE_PRIORITY : ULONG { LowPagePriority = 0, NormalPagePriority = 16, HighPagePriority = 32 };
// Added to the priority: the mapping is not executable (Windows 8 and later).
inline constexpr ULONG MdlMappingNoExecute = 0x40000000;

inline constexpr SIZE_T PAGE_SIZE = platform::kPageSize;
constexpr SIZE_T ROUND_TO_PAGES(SIZE_T bytes) { return platform::round_to_pages(bytes); }

// An MDL for `length` bytes at `virtualAddress`; null when none can be had.
// Up to DISPATCH_LEVEL. Secondary buffers, quota and an IRP are not modelled.
PMDL IoAllocateMdl(PVOID virtualAddress, ULONG length, BOOLEAN secondaryBuffer, BOOLEAN chargeQuota, IRP* irp);
void IoFreeMdl(PMDL mdl);
// Describes non-paged pool (no locking needed). Up to DISPATCH_LEVEL.
void MmBuildMdlForNonPagedPool(PMDL mdl);
// UserMode: maps the pages into the process whose request runs on this
// thread and returns the address of the described bytes there; a failure
// raises an exception (KernelException), whatever `bugCheckOnFailure` says.
// KernelMode: the system address. PASSIVE_LEVEL. `requestedAddress` must be null.
PVOID MmMapLockedPagesSpecifyCache(PMDL mdl, KPROCESSOR_MODE accessMode, MEMORY_CACHING_TYPE cacheType,
                                   PVOID requestedAddress, ULONG bugCheckOnFailure, ULONG priority);
// Undoes a user mapping, in the context of the process that got it (one that
// has ended took the mapping with it). PASSIVE_LEVEL.
void MmUnmapLockedPages(PVOID baseAddress, PMDL mdl);

namespace platform::mdl {

struct UserMapping {
    ULONG processId;
    void* address;  // what the driver was given
    size_t bytes;   // whole pages
    MEMORY_CACHING_TYPE cacheType;
    bool noExecute;
};

// The user mappings of MDLs that stand, oldest first.
std::vector<UserMapping> user_mappings();
// MDLs allocated and not freed.
size_t outstanding();

}  // namespace platform::mdl

// Tagged kernel pool with per-tag accounting, so a test can prove that a
// driver returned every block it allocated.
#pragma once

#include <cstdint>
#include <map>

#include "nt_types.h"

enum POOL_TYPE : uint32_t {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolNx = 512,
};

// Allocates `bytes` of the given pool type; null when the pool (or an injected
// fault) refuses. Paged pool needs IRQL below DISPATCH_LEVEL.
PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag);
// Frees a block; the tag must be the one it was allocated with.
void ExFreePoolWithTag(PVOID block, ULONG tag);
void ExFreePool(PVOID block);

namespace platform::pool {

struct TagStats {
    int64_t bytes = 0;      // outstanding bytes
    int64_t blocks = 0;     // outstanding blocks
    uint64_t allocations = 0;
    uint64_t executableAllocations = 0;  // blocks taken from executable pool types
};

TagStats stats(ULONG tag);
std::map<ULONG, TagStats> snapshot();
int64_t outstanding_bytes(ULONG tag);

}  // namespace platform::pool

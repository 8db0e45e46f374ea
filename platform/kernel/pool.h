// Tagged kernel pool with per-tag accounting, so a test can prove that a
// driver returned every block it allocated. A non-paged block of a page or
// more lies on pages of its own (as on Windows), which are shared memory: an
// MDL over them can be mapped into a user process (mdl.h).
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

// The pages under [address, address + bytes): the shared-memory descriptor of
// the non-paged block of a page or more that holds them, the block, and the
// offset of `address` in it.
struct SharedPages {
    int fd;
    void* block;
    size_t offset;
};
// False unless the range lies within one such block (a smaller block shares
// its pages with its neighbours, so none of them may be mapped out).
bool shared_pages(const void* address, size_t bytes, SharedPages* pages);
// A user mapping of a block's pages begins (+1) or ends (-1); a block freed
// while mapped is a broken rule.
void count_user_mapping(const void* block, int delta);

}  // namespace platform::pool

#include "pool.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <unordered_set>

#include "fault.h"
#include "irql.h"
#include "rules.h"
#include "shared_memory.h"

namespace {

constexpr uint64_t kBlockMagic = 0x6C6F6F50584556ull;      // "VEXPool"
constexpr uint64_t kPageBlockMagic = 0x65676150584556ull;  // "VEXPage"
constexpr size_t kHeaderBytes = 32;                        // keeps the block 16-byte aligned

struct BlockHeader {
    uint64_t magic;
    uint64_t bytes;
    ULONG tag;
    POOL_TYPE type;
    uint64_t reserved;
};
static_assert(sizeof(BlockHeader) == kHeaderBytes);

// A non-paged block of a page or more, as Windows hands it out: on pages of
// its own. Its pages are shared memory, so an MDL over them can be mapped
// into a user process; a page of its header comes before it and an
// inaccessible page after it, so running off either end faults.
struct PageBlock {
    int fd;
    void* reservation;
    size_t reservationBytes;
    size_t dataBytes;
    int userMappings;
};

std::mutex g_lock;
std::map<ULONG, platform::pool::TagStats> g_stats;  // guarded by g_lock
std::map<uintptr_t, PageBlock> g_pageBlocks;        // guarded by g_lock, by the block's address
// The blocks handed out and not yet freed. A free is checked here before its
// header is read: the header of a block freed already is no memory of ours.
std::unordered_set<const void*> g_live;  // guarded by g_lock

std::string TagText(ULONG tag) {
    char text[5] = {static_cast<char>(tag >> 24), static_cast<char>(tag >> 16), static_cast<char>(tag >> 8),
                    static_cast<char>(tag), 0};
    return text;
}

bool IsNonPaged(POOL_TYPE type) { return type == NonPagedPool || type == NonPagedPoolNx; }

// The block's header, or null when the system has no pages for it.
BlockHeader* AllocatePageBlock(size_t bytes) {
    size_t data = platform::round_to_pages(bytes);
    int fd = platform::create_shared_memory(data, "vexa-pool");
    if (fd < 0) return nullptr;
    size_t reservationBytes = platform::kPageSize + data + platform::kPageSize;
    void* reservation = mmap(nullptr, reservationBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (reservation == MAP_FAILED) {
        close(fd);
        return nullptr;
    }
    auto* base = static_cast<char*>(reservation);
    bool ok = mprotect(base, platform::kPageSize, PROT_READ | PROT_WRITE) == 0 &&
              mmap(base + platform::kPageSize, data, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0) !=
                  MAP_FAILED;
    if (!ok) {
        munmap(reservation, reservationBytes);
        close(fd);
        return nullptr;
    }
    char* block = base + platform::kPageSize;
    {
        std::lock_guard lock(g_lock);
        g_pageBlocks[reinterpret_cast<uintptr_t>(block)] = PageBlock{fd, reservation, reservationBytes, data, 0};
    }
    return reinterpret_cast<BlockHeader*>(block - kHeaderBytes);
}

void FreePageBlock(BlockHeader* header) {
    uintptr_t block = reinterpret_cast<uintptr_t>(header) + kHeaderBytes;
    PageBlock pages{};
    {
        std::lock_guard lock(g_lock);
        auto it = g_pageBlocks.find(block);
        if (it == g_pageBlocks.end()) return;
        pages = it->second;
        if (pages.userMappings != 0) {
            // The process would go on using freed memory: Windows stops the machine for it.
            platform::rule_violation("pool", "a block freed while its pages are still mapped into a user process");
        }
        g_pageBlocks.erase(it);
    }
    munmap(pages.reservation, pages.reservationBytes);
    close(pages.fd);
}

}  // namespace

PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag) {
    if (type == PagedPool) {
        if (KeGetCurrentIrql() >= DISPATCH_LEVEL) {
            platform::rule_violation("IRQL", "paged pool allocated at DISPATCH_LEVEL");
        }
    } else {
        platform::require_dispatch_or_below("ExAllocatePoolWithTag");
    }
    if (tag == 0) platform::rule_violation("pool", "allocation without a pool tag");
    if (platform::fault::hit("ExAllocatePoolWithTag")) return nullptr;

    bool pages = IsNonPaged(type) && bytes >= platform::kPageSize;
    BlockHeader* header = nullptr;
    if (pages) {
        header = AllocatePageBlock(bytes);
    } else {
        header = static_cast<BlockHeader*>(std::aligned_alloc(16, kHeaderBytes + ((bytes + 15) & ~size_t{15})));
    }
    if (header == nullptr) return nullptr;
    *header = BlockHeader{pages ? kPageBlockMagic : kBlockMagic, bytes, tag, type, 0};
    {
        std::lock_guard lock(g_lock);
        g_live.insert(header);
        auto& stats = g_stats[tag];
        stats.bytes += static_cast<int64_t>(bytes);
        stats.blocks += 1;
        stats.allocations += 1;
        if (type != NonPagedPoolNx && type != PagedPool) stats.executableAllocations += 1;
    }
    return reinterpret_cast<char*>(header) + kHeaderBytes;
}

static void FreeBlock(PVOID block, const ULONG* expectedTag) {
    if (block == nullptr) {
        platform::rule_violation("pool", "free of a null block");
        return;
    }
    platform::require_dispatch_or_below("ExFreePool");
    auto* header = reinterpret_cast<BlockHeader*>(static_cast<char*>(block) - kHeaderBytes);
    BlockHeader taken{};
    {
        std::lock_guard lock(g_lock);
        if (g_live.erase(header) != 0) {
            taken = *header;
            auto& stats = g_stats[taken.tag];
            stats.bytes -= static_cast<int64_t>(taken.bytes);
            stats.blocks -= 1;
        }
    }
    if (taken.magic != kBlockMagic && taken.magic != kPageBlockMagic) {
        platform::rule_violation("pool", "free of a block that is not pool memory (or freed twice)");
        return;
    }
    if (expectedTag != nullptr && *expectedTag != taken.tag) {
        platform::rule_violation("pool", "block of tag '" + TagText(taken.tag) + "' freed with tag '" +
                                             TagText(*expectedTag) + "'");
    }
    bool pages = taken.magic == kPageBlockMagic;
    header->magic = 0;
    if (pages) {
        FreePageBlock(header);
    } else {
        std::free(header);
    }
}

void ExFreePoolWithTag(PVOID block, ULONG tag) { FreeBlock(block, &tag); }

void ExFreePool(PVOID block) { FreeBlock(block, nullptr); }

namespace platform::pool {

TagStats stats(ULONG tag) {
    std::lock_guard lock(g_lock);
    auto it = g_stats.find(tag);
    return it == g_stats.end() ? TagStats{} : it->second;
}

std::map<ULONG, TagStats> snapshot() {
    std::lock_guard lock(g_lock);
    return g_stats;
}

int64_t outstanding_bytes(ULONG tag) { return stats(tag).bytes; }

bool shared_pages(const void* address, size_t bytes, SharedPages* pages) {
    auto at = reinterpret_cast<uintptr_t>(address);
    std::lock_guard lock(g_lock);
    auto it = g_pageBlocks.upper_bound(at);
    if (it == g_pageBlocks.begin()) return false;
    --it;
    uintptr_t start = it->first;
    const PageBlock& block = it->second;
    if (at < start || bytes > block.dataBytes || at - start > block.dataBytes - bytes) return false;
    pages->fd = block.fd;
    pages->block = reinterpret_cast<void*>(start);
    pages->offset = at - start;
    return true;
}

void count_user_mapping(const void* block, int delta) {
    std::lock_guard lock(g_lock);
    auto it = g_pageBlocks.find(reinterpret_cast<uintptr_t>(block));
    if (it != g_pageBlocks.end()) it->second.userMappings += delta;
}

}  // namespace platform::pool

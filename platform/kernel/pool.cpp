#include "pool.h"

#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <unordered_set>

#include "fault.h"
#include "irql.h"
#include "rules.h"

namespace {

constexpr uint64_t kBlockMagic = 0x6C6F6F50584556ull;  // "VEXPool"
constexpr size_t kHeaderBytes = 32;                    // keeps the block 16-byte aligned

struct BlockHeader {
    uint64_t magic;
    uint64_t bytes;
    ULONG tag;
    POOL_TYPE type;
    uint64_t reserved;
};
static_assert(sizeof(BlockHeader) == kHeaderBytes);

std::mutex g_lock;
std::map<ULONG, platform::pool::TagStats> g_stats;  // guarded by g_lock
// The blocks handed out and not yet freed. A free is checked here before its
// header is read: the header of a block freed already is no memory of ours.
std::unordered_set<const void*> g_live;  // guarded by g_lock

std::string TagText(ULONG tag) {
    char text[5] = {static_cast<char>(tag >> 24), static_cast<char>(tag >> 16), static_cast<char>(tag >> 8),
                    static_cast<char>(tag), 0};
    return text;
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

    void* raw = std::aligned_alloc(16, kHeaderBytes + ((bytes + 15) & ~size_t{15}));
    if (raw == nullptr) return nullptr;
    auto* header = static_cast<BlockHeader*>(raw);
    *header = BlockHeader{kBlockMagic, bytes, tag, type, 0};
    {
        std::lock_guard lock(g_lock);
        g_live.insert(header);
        auto& stats = g_stats[tag];
        stats.bytes += static_cast<int64_t>(bytes);
        stats.blocks += 1;
        stats.allocations += 1;
        if (type != NonPagedPoolNx && type != PagedPool) stats.executableAllocations += 1;
    }
    return static_cast<char*>(raw) + kHeaderBytes;
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
    if (taken.magic != kBlockMagic) {
        platform::rule_violation("pool", "free of a block that is not pool memory (or freed twice)");
        return;
    }
    if (expectedTag != nullptr && *expectedTag != taken.tag) {
        platform::rule_violation("pool", "block of tag '" + TagText(taken.tag) + "' freed with tag '" +
                                             TagText(*expectedTag) + "'");
    }
    header->magic = 0;
    std::free(header);
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

}  // namespace platform::pool

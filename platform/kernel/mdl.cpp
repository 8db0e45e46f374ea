#include "mdl.h"

#include <map>
#include <memory>
#include <mutex>

#include "fault.h"
#include "irql.h"
#include "kernel.h"
#include "pool.h"
#include "rules.h"

namespace {

struct MdlRecord : MDL {
    uint64_t serial = 0;
    bool built = false;
    // The user mapping, while it stands.
    std::weak_ptr<platform::UserMemory> process;
    ULONG processId = 0;
    void* userBase = nullptr;  // the first page in the process
    PVOID userAddress = nullptr;
    size_t mappedBytes = 0;
    void* block = nullptr;  // the pool block whose pages are mapped
    MEMORY_CACHING_TYPE cacheType = MmCached;
    bool noExecute = false;
};

std::mutex g_lock;
std::map<MDL*, MdlRecord*> g_live;  // guarded by g_lock
uint64_t g_nextSerial = 1;          // guarded by g_lock

// The record of a live MDL; a broken rule for anything else.
MdlRecord* Live(PMDL mdl, const char* call) {
    std::lock_guard lock(g_lock);
    auto it = g_live.find(mdl);
    if (it != g_live.end()) return it->second;
    platform::rule_violation("MDL", std::string(call) + " was given an MDL that is not allocated");
    return nullptr;
}

// Takes the record's user mapping down; a process that has ended took its
// mappings with it.
void Unmap(MdlRecord* record) {
    std::shared_ptr<platform::UserMemory> process;
    void* base;
    void* block;
    {
        std::lock_guard lock(g_lock);
        if (record->userAddress == nullptr) return;
        process = record->process.lock();
        base = record->userBase;
        block = record->block;
        record->process.reset();
        record->userBase = nullptr;
        record->userAddress = nullptr;
        record->mappedBytes = 0;
        record->block = nullptr;
    }
    if (process) process->unmap_shared(base);
    platform::pool::count_user_mapping(block, -1);
}

}  // namespace

PMDL IoAllocateMdl(PVOID virtualAddress, ULONG length, BOOLEAN, BOOLEAN, IRP* irp) {
    platform::require_dispatch_or_below("IoAllocateMdl");
    if (irp != nullptr) platform::rule_violation("MDL", "IoAllocateMdl with an IRP is not modelled");
    if (virtualAddress == nullptr || length == 0) return nullptr;
    if (platform::fault::hit("IoAllocateMdl")) return nullptr;
    auto* record = new (std::nothrow) MdlRecord();
    if (record == nullptr) return nullptr;
    auto address = reinterpret_cast<uintptr_t>(virtualAddress);
    record->StartVa = reinterpret_cast<PVOID>(address & ~(uintptr_t{PAGE_SIZE} - 1));
    record->ByteOffset = static_cast<ULONG>(address & (PAGE_SIZE - 1));
    record->ByteCount = length;
    record->Size = static_cast<CSHORT>(sizeof(MDL));
    std::lock_guard lock(g_lock);
    record->serial = g_nextSerial++;
    g_live[record] = record;
    return record;
}

void IoFreeMdl(PMDL mdl) {
    platform::require_dispatch_or_below("IoFreeMdl");
    MdlRecord* record = Live(mdl, "IoFreeMdl");
    if (record == nullptr) return;
    bool mapped;
    {
        std::lock_guard lock(g_lock);
        mapped = record->userAddress != nullptr;
    }
    if (mapped) {
        platform::rule_violation("MDL", "IoFreeMdl of an MDL still mapped into a user process");
        Unmap(record);
    }
    {
        std::lock_guard lock(g_lock);
        g_live.erase(mdl);
    }
    delete record;
}

void MmBuildMdlForNonPagedPool(PMDL mdl) {
    platform::require_dispatch_or_below("MmBuildMdlForNonPagedPool");
    MdlRecord* record = Live(mdl, "MmBuildMdlForNonPagedPool");
    if (record == nullptr) return;
    record->MappedSystemVa = static_cast<char*>(record->StartVa) + record->ByteOffset;
    record->MdlFlags = static_cast<CSHORT>(record->MdlFlags | MDL_SOURCE_IS_NONPAGED_POOL);
    record->built = true;
}

PVOID MmMapLockedPagesSpecifyCache(PMDL mdl, KPROCESSOR_MODE accessMode, MEMORY_CACHING_TYPE cacheType,
                                   PVOID requestedAddress, ULONG, ULONG priority) {
    platform::require_passive("MmMapLockedPagesSpecifyCache");
    MdlRecord* record = Live(mdl, "MmMapLockedPagesSpecifyCache");
    if (record == nullptr) ExRaiseStatus(STATUS_INVALID_PARAMETER);
    if (!record->built) {
        platform::rule_violation("MDL", "MmMapLockedPagesSpecifyCache of an MDL that describes no pages yet");
        ExRaiseStatus(STATUS_INVALID_PARAMETER);
    }
    if (requestedAddress != nullptr) {
        platform::rule_violation("MDL", "a mapping at a requested address is not modelled");
        ExRaiseStatus(STATUS_INVALID_PARAMETER);
    }
    if (accessMode == KernelMode) return record->MappedSystemVa;

    std::shared_ptr<platform::UserMemory> process = platform::Kernel::current().host().current_process_memory();
    if (!process) {
        platform::rule_violation("MDL", "a mapping into user mode outside any process's context");
        ExRaiseStatus(STATUS_ACCESS_VIOLATION);
    }
    size_t bytes = ROUND_TO_PAGES(size_t{record->ByteOffset} + record->ByteCount);
    platform::pool::SharedPages pages{};
    if (!platform::pool::shared_pages(record->StartVa, bytes, &pages)) {
        platform::rule_violation("MDL", "a mapping into user mode of pages that other pool blocks share: "
                                        "their memory would reach the process");
        ExRaiseStatus(STATUS_ACCESS_VIOLATION);
    }
    {
        std::lock_guard lock(g_lock);
        if (record->userAddress != nullptr) {
            platform::rule_violation("MDL", "an MDL mapped into user mode while its last mapping stands");
            ExRaiseStatus(STATUS_INVALID_PARAMETER);
        }
    }
    if (auto status = platform::fault::hit("MmMapLockedPagesSpecifyCache")) ExRaiseStatus(*status);
    void* base = process->map_shared(pages.fd, bytes, pages.offset);
    if (base == nullptr) ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
    platform::pool::count_user_mapping(pages.block, +1);
    std::lock_guard lock(g_lock);
    record->process = process;
    record->processId = process->process_id();
    record->userBase = base;
    record->userAddress = static_cast<char*>(base) + record->ByteOffset;
    record->mappedBytes = bytes;
    record->block = pages.block;
    record->cacheType = cacheType;
    record->noExecute = (priority & MdlMappingNoExecute) != 0;
    return record->userAddress;
}

void MmUnmapLockedPages(PVOID baseAddress, PMDL mdl) {
    platform::require_passive("MmUnmapLockedPages");
    MdlRecord* record = Live(mdl, "MmUnmapLockedPages");
    if (record == nullptr) return;
    std::shared_ptr<platform::UserMemory> owner;
    {
        std::lock_guard lock(g_lock);
        if (baseAddress == record->MappedSystemVa && record->userAddress != baseAddress) return;  // the system's own
        if (record->userAddress == nullptr || record->userAddress != baseAddress) {
            platform::rule_violation("MDL", "MmUnmapLockedPages of an address the MDL is not mapped at");
            return;
        }
        owner = record->process.lock();
    }
    // Windows unmaps the address in whatever process runs the call: from
    // another one (or a system worker) the host keeps its mapping, and the
    // caller's own address space loses a range it never had.
    if (owner && !owner->ending() && owner != platform::Kernel::current().host().current_process_memory()) {
        platform::rule_violation("MDL", "MmUnmapLockedPages outside the context of the process the pages are "
                                        "mapped into");
        return;
    }
    Unmap(record);
}

namespace platform::mdl {

std::vector<UserMapping> user_mappings() {
    std::lock_guard lock(g_lock);
    std::map<uint64_t, UserMapping> bySerial;
    for (auto& [mdl, record] : g_live) {
        if (record->userAddress == nullptr) continue;
        bySerial[record->serial] = UserMapping{record->processId, record->userAddress, record->mappedBytes,
                                               record->cacheType, record->noExecute};
    }
    std::vector<UserMapping> mappings;
    for (auto& [serial, mapping] : bySerial) mappings.push_back(mapping);
    return mappings;
}

size_t outstanding() {
    std::lock_guard lock(g_lock);
    return g_live.size();
}

}  // namespace platform::mdl

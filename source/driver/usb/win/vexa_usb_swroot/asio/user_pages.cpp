// Pages of their own mapped into a host process.
#define LOG_FILE_NUMBER 176

#include "asio/user_pages.h"

#include "logger.h"
#include "windows_version.h"

using namespace vexa::log;

namespace {

constexpr ULONG64 k4GiB = ULONG64{1} << 32;
constexpr SIZE_T kMaxMdlBytes = 0xFFFFFFFF;  // an MDL's byte count is 32 bits

}  // namespace

// PASSIVE_LEVEL
NTSTATUS UserPages::Create(SIZE_T bytes, ULONG tag, bool below4GiB) {
    PAGED_CODE();
    Release();
    SIZE_T size = ROUND_TO_PAGES(bytes);
    if (size == 0 || size > kMaxMdlBytes) return STATUS_INVALID_PARAMETER;
    tag_ = tag;
    bytes_ = size;
    // Whole pages: a pool block of a page or more owns them, so mapping
    // them out takes nobody else's memory along.
    pages_ = ExAllocatePoolWithTag(NonPagedPoolNx, size, tag);
    if (pages_ == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(pages_, size);
    mdl_ = IoAllocateMdl(pages_, static_cast<ULONG>(size), FALSE, FALSE, nullptr);
    if (mdl_ == nullptr) {
        Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    MmBuildMdlForNonPagedPool(mdl_);
    ULONG priority = NormalPagePriority | (g_mappingNoExecute ? MdlMappingNoExecute : 0);
    // A mapping into user mode reports its failure by raising an exception.
    NTSTATUS status = TryExcept(
        [&] { user_ = MmMapLockedPagesSpecifyCache(mdl_, UserMode, MmNonCached, nullptr, FALSE, priority); });
    if (NT_SUCCESS(status) && user_ == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
    if (NT_SUCCESS(status) && below4GiB && reinterpret_cast<ULONG64>(user_) + size > k4GiB) {
        // A 32-bit host could not reach the pages: no address rather than a truncated one.
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!NT_SUCCESS(status)) {
        TRACE(kLogError | kLogAsio, status, size);
        Release();
    }
    return status;
}

// PASSIVE_LEVEL
void UserPages::Release() {
    if (user_ != nullptr) MmUnmapLockedPages(user_, mdl_);
    if (mdl_ != nullptr) IoFreeMdl(mdl_);
    if (pages_ != nullptr) ExFreePoolWithTag(pages_, tag_);
    user_ = nullptr;
    mdl_ = nullptr;
    pages_ = nullptr;
    bytes_ = 0;
}

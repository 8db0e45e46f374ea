#include "fx_object.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/rules.h"
#include "platform/kmdf/wdf_memory.h"

namespace platform::kmdf {
namespace {

class FxMemory : public FxObject {
public:
    static constexpr FxType kType = FxType::Memory;

    FxMemory(PVOID buffer, size_t bytes, ULONG tag, bool owned)
        : FxObject(FxType::Memory), buffer_(buffer), bytes_(bytes), tag_(tag), owned_(owned) {}

    PVOID buffer() const { return buffer_; }
    size_t bytes() const { return bytes_; }

protected:
    void destroy() override {
        if (owned_ && buffer_ != nullptr) ExFreePoolWithTag(buffer_, tag_);
    }

private:
    PVOID buffer_;
    size_t bytes_;
    ULONG tag_;
    bool owned_;  // false for a caller's buffer (preallocated)
};

FxObject* DefaultParent(WDF_DRIVER_GLOBALS* globals, const char* call) {
    return globals->Driver != nullptr ? FxObject::from(globals->Driver, call) : nullptr;
}

}  // namespace

NTSTATUS MemoryCreate(WDF_DRIVER_GLOBALS* globals, PWDF_OBJECT_ATTRIBUTES attributes, POOL_TYPE poolType,
                      ULONG poolTag, size_t bufferSize, WDFMEMORY* memory, PVOID* buffer) {
    if (memory == nullptr || bufferSize == 0) return STATUS_INVALID_PARAMETER;
    if (auto status = fault::hit("WdfMemoryCreate")) return *status;
    PVOID block = ExAllocatePoolWithTag(poolType, bufferSize, poolTag != 0 ? poolTag : 0x46786457 /* "WdxF" */);
    if (block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    auto* fx = new FxMemory(block, bufferSize, poolTag != 0 ? poolTag : 0x46786457, true);
    NTSTATUS status = fx->attach(attributes, DefaultParent(globals, "WdfMemoryCreate"));
    if (!NT_SUCCESS(status)) {
        fx->release();
        return status;
    }
    *memory = fx->as_handle<WDFMEMORY>();
    if (buffer != nullptr) *buffer = block;
    return STATUS_SUCCESS;
}

NTSTATUS MemoryCreatePreallocated(WDF_DRIVER_GLOBALS* globals, PWDF_OBJECT_ATTRIBUTES attributes, PVOID buffer,
                                  size_t bufferSize, WDFMEMORY* memory) {
    if (memory == nullptr || buffer == nullptr || bufferSize == 0) return STATUS_INVALID_PARAMETER;
    if (auto status = fault::hit("WdfMemoryCreatePreallocated")) return *status;
    auto* fx = new FxMemory(buffer, bufferSize, 0, false);
    NTSTATUS status = fx->attach(attributes, DefaultParent(globals, "WdfMemoryCreatePreallocated"));
    if (!NT_SUCCESS(status)) {
        fx->release();
        return status;
    }
    *memory = fx->as_handle<WDFMEMORY>();
    return STATUS_SUCCESS;
}

PVOID MemoryBuffer(WDFMEMORY memory, size_t* bytes) {
    FxMemory* fx = object_of<FxMemory>(memory, "WdfMemoryGetBuffer");
    if (fx == nullptr) return nullptr;
    if (bytes != nullptr) *bytes = fx->bytes();
    return fx->buffer();
}

}  // namespace platform::kmdf

PVOID WdfMemoryGetBuffer(WDFMEMORY memory, size_t* bufferSize) {
    return platform::kmdf::MemoryBuffer(memory, bufferSize);
}

NTSTATUS WdfMemoryCopyFromBuffer(WDFMEMORY destination, size_t offset, PVOID source, size_t length) {
    size_t bytes = 0;
    auto* base = static_cast<uint8_t*>(WdfMemoryGetBuffer(destination, &bytes));
    if (base == nullptr || offset > bytes || length > bytes - offset) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(base + offset, source, length);
    return STATUS_SUCCESS;
}

// Framework memory objects. A buffer the framework allocates is taken from
// the pool with the caller's tag, so it counts in that tag's accounting.
#pragma once

#include "wdf_object.h"

namespace platform::kmdf {
NTSTATUS MemoryCreate(WDF_DRIVER_GLOBALS* globals, PWDF_OBJECT_ATTRIBUTES attributes, POOL_TYPE poolType,
                      ULONG poolTag, size_t bufferSize, WDFMEMORY* memory, PVOID* buffer);
NTSTATUS MemoryCreatePreallocated(WDF_DRIVER_GLOBALS* globals, PWDF_OBJECT_ATTRIBUTES attributes, PVOID buffer,
                                  size_t bufferSize, WDFMEMORY* memory);
}  // namespace platform::kmdf

inline NTSTATUS WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES attributes, POOL_TYPE poolType, ULONG poolTag,
                                size_t bufferSize, WDFMEMORY* memory, PVOID* buffer) {
    return platform::kmdf::MemoryCreate(&WdfDriverGlobals, attributes, poolType, poolTag, bufferSize, memory,
                                        buffer);
}

inline NTSTATUS WdfMemoryCreatePreallocated(PWDF_OBJECT_ATTRIBUTES attributes, PVOID buffer, size_t bufferSize,
                                            WDFMEMORY* memory) {
    return platform::kmdf::MemoryCreatePreallocated(&WdfDriverGlobals, attributes, buffer, bufferSize, memory);
}

PVOID WdfMemoryGetBuffer(WDFMEMORY memory, size_t* bufferSize);
NTSTATUS WdfMemoryCopyFromBuffer(WDFMEMORY destination, size_t offset, PVOID source, size_t length);

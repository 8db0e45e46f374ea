// Pool memory as both drivers take it: the object tag, the objects of the
// drivers' own classes, and a block that lives for one scope.
#pragma once

#include "platform/kernel/ntddk.h"

inline constexpr ULONG kPoolTagObject = 0x774E434B;  // objects and contexts

// Objects of the drivers' classes come from non-paged, no-execute pool under
// the object tag; a failed allocation yields null (no exception), so every
// `new` is checked.
class PoolObject {
public:
    static void* operator new(size_t bytes) noexcept {
        return ExAllocatePoolWithTag(NonPagedPoolNx, bytes, kPoolTagObject);
    }
    static void operator delete(void* block) noexcept {
        if (block != nullptr) ExFreePoolWithTag(block, kPoolTagObject);
    }
};

// A pool block for one scope: freed when the scope ends, whether it returns
// or a status is raised through it. Null when the pool had none (or 0 bytes
// were asked for); the caller checks.
class PoolBuffer {
public:
    PoolBuffer(POOL_TYPE type, size_t bytes, ULONG tag)
        : block_(bytes != 0 ? ExAllocatePoolWithTag(type, bytes, tag) : nullptr), tag_(tag) {}
    ~PoolBuffer() {
        if (block_ != nullptr) ExFreePoolWithTag(block_, tag_);
    }
    PoolBuffer(const PoolBuffer&) = delete;
    PoolBuffer& operator=(const PoolBuffer&) = delete;

    template <typename T = void>
    T* Get() const {
        return static_cast<T*>(block_);
    }
    explicit operator bool() const { return block_ != nullptr; }

private:
    void* block_;
    ULONG tag_;
};

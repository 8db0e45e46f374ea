#include "shared_memory.h"

#include <sys/mman.h>
#include <unistd.h>

namespace platform {
namespace {

constexpr int kProtection = PROT_READ | PROT_WRITE;
// Where the search for room below 4 GiB starts (clear of a program's own
// image and heap) and how far each try moves on.
constexpr uintptr_t kLowSearchStart = 0x10000000;
constexpr uintptr_t kLowSearchStep = 0x01000000;

bool Below4GiB(const void* address, size_t bytes) {
    return reinterpret_cast<uintptr_t>(address) + bytes <= k4GiB;
}

}  // namespace

int create_shared_memory(size_t bytes, const char* name) {
    int fd = memfd_create(name, MFD_CLOEXEC);
    if (fd < 0) return -1;
    if (ftruncate(fd, static_cast<off_t>(round_to_pages(bytes))) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void* map_shared_memory(int fd, size_t offset, size_t bytes, bool below4GiB) {
    if (fd < 0 || bytes == 0 || offset % kPageSize != 0) return nullptr;
    auto at = static_cast<off_t>(offset);
    if (!below4GiB) {
        void* address = mmap(nullptr, bytes, kProtection, MAP_SHARED, fd, at);
        return address == MAP_FAILED ? nullptr : address;
    }
    void* address = mmap(nullptr, bytes, kProtection, MAP_SHARED | MAP_32BIT, fd, at);
    if (address != MAP_FAILED && Below4GiB(address, bytes)) return address;
    if (address != MAP_FAILED) munmap(address, bytes);
    // MAP_32BIT covers one GiB only: look for room anywhere below 4 GiB.
    for (uintptr_t hint = kLowSearchStart; hint + bytes <= k4GiB; hint += kLowSearchStep) {
        address = mmap(reinterpret_cast<void*>(hint), bytes, kProtection, MAP_SHARED | MAP_FIXED_NOREPLACE, fd, at);
        if (address == MAP_FAILED) continue;
        if (address == reinterpret_cast<void*>(hint)) return address;
        munmap(address, bytes);  // a kernel that took the flag as a mere hint
    }
    return nullptr;
}

void unmap_shared_memory(void* address, size_t bytes) {
    if (address != nullptr) munmap(address, bytes);
}

}  // namespace platform

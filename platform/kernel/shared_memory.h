// Shared memory as the machine models memory pages: one descriptor (a memfd)
// from which the kernel's own view and every user mapping of the same pages
// are made, so a process in this program and one behind the machine's socket
// see the very bytes the kernel writes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

inline constexpr size_t kPageSize = 4096;
inline constexpr uint64_t k4GiB = uint64_t{1} << 32;

constexpr size_t round_to_pages(size_t bytes) { return (bytes + kPageSize - 1) & ~(kPageSize - 1); }

// A new descriptor of `bytes` zeroed bytes (a whole number of pages); -1 when the system has none.
int create_shared_memory(size_t bytes, const char* name);
// Maps `bytes` of `fd` from `offset` (page-aligned), read-write and never
// executable. With `below4GiB` the whole mapping lies below 4 GiB, as a
// 32-bit process needs: a real mapping there, or none. Null on failure.
void* map_shared_memory(int fd, size_t offset, size_t bytes, bool below4GiB);
void unmap_shared_memory(void* address, size_t bytes);

}  // namespace platform

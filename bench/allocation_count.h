// Counts every heap allocation of the process. A benchmark that links
// allocation_count.cpp and exports its symbols (ENABLE_EXPORTS) counts the
// driver images' allocations too, as the images bind to the program's
// operator new.
#pragma once

#include <cstdint>

namespace vexa::bench {

// Allocations so far; a period path shows no difference across its calls.
uint64_t Allocations();

}  // namespace vexa::bench

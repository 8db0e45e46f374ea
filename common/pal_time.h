// The library's clock: milliseconds of the system timer, and the pauses of
// its retry and poll loops. Tests replace both, so the 10-second open limit
// and the busy retries run on a clock they drive and cost no wall time.
#pragma once

#include <cstdint>

namespace mrak::vexa::pal {

class clock {
public:
    virtual ~clock() = default;
    // Milliseconds; only differences of two readings mean anything (they wrap).
    virtual uint32_t now() = 0;
    virtual void sleep(uint32_t ms) = 0;
};

// timeGetTime and Sleep, unless a clock was installed.
uint32_t time();
void sleep(uint32_t ms);

// Installs `replacement` (null: the system timer again). It must outlive
// every library call and thread that may still read it.
void set_clock(clock* replacement);

}  // namespace mrak::vexa::pal

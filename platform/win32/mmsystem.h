// The multimedia timer the system reads (winmm).
#pragma once

#include "windows.h"

// Milliseconds of wall-clock time since this program started, wrapping after
// about 49.7 days as Windows' does; callers take differences of two readings.
DWORD timeGetTime();

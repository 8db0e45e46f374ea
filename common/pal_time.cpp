#include "common/pal_time.h"

#include "platform/win32/mmsystem.h"
#include "platform/win32/windows.h"

namespace mrak::vexa::pal {
namespace {

// Written by set_clock (release), read by every reading (acquire).
clock* volatile g_clock = nullptr;

}  // namespace

uint32_t time() {
    clock* replaced = ReadPointerAcquire(&g_clock);
    return replaced != nullptr ? replaced->now() : timeGetTime();
}

void sleep(uint32_t ms) {
    clock* replaced = ReadPointerAcquire(&g_clock);
    if (replaced != nullptr) {
        replaced->sleep(ms);
    } else {
        Sleep(ms);
    }
}

void set_clock(clock* replacement) { WritePointerRelease(&g_clock, replacement); }

}  // namespace mrak::vexa::pal

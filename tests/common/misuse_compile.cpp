// Uses of the library that must not compile, one per MISUSE value, and the
// same uses done right (no MISUSE), which must. Compiled by CTest only
// (-fsyntax-only); each misuse's test passes when the compiler names why.
#include <cstdint>

#include "common/bus.h"
#include "common/device.h"
#include "common/system.h"

namespace {

struct App : mrak::vexa::device {};
struct AppBus : mrak::vexa::bus<App> {};

[[maybe_unused]] void uses(App* other, uint64_t someId) {
    (void)other;
    (void)someId;
#if !defined(MISUSE)
    // Made with new and held at once; the outside holder is 0.
    mrak::vexa::reference<App> held(new App, 0);
    mrak::vexa::reference<AppBus> bus(new AppBus, 0);
    mrak::vexa::reference<mrak::vexa::system<AppBus>> system(new mrak::vexa::system<AppBus>, 0);
#elif MISUSE == 1
    mrak::vexa::device onStack;  // the library would free it
#elif MISUSE == 2
    mrak::vexa::bus<App> onStack;
#elif MISUSE == 3
    mrak::vexa::system<AppBus> onStack;
#elif MISUSE == 4
    delete static_cast<mrak::vexa::device*>(other);  // the library deletes its objects itself
#elif MISUSE == 5
    mrak::vexa::reference<App> forged(other, 5);  // a library object's id, made up
#elif MISUSE == 6
    mrak::vexa::reference<App> forged(other, someId);
#elif MISUSE == 7
    mrak::vexa::reference<App> forged(other, other->holder_id());  // another object's id
#endif
}

}  // namespace

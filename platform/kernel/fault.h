// Fault injection: any platform call that has a failure path can be told to
// fail with a given status. The layer asks `fault::hit` at the top of each such
// call; tests arm faults by the call's name.
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "nt_types.h"

namespace platform::fault {

// The call named `call` fails with `status` after `skip` more successful calls,
// `count` times in a row (0 = every call from then on).
void inject(std::string_view call, NTSTATUS status, unsigned skip = 0, unsigned count = 1);
// Disarms every fault.
void clear();
namespace detail {
// Whether an observer is set or a fault is armed (see fault.cpp): the calls
// that ask on every frame answer inline while neither is.
extern std::atomic<bool> g_observed;
extern std::atomic<bool> g_anyArmed;
std::optional<NTSTATUS> hit_checked(std::string_view call);
}  // namespace detail

// Whether no fault is armed and no observer set: `hit` then answers nothing
// to every call, and a step that would only ask it may be left out.
inline bool quiet() {
    return !detail::g_observed.load(std::memory_order_acquire) && !detail::g_anyArmed.load(std::memory_order_acquire);
}

// The status a call must fail with now, if a fault for it is armed and due.
inline std::optional<NTSTATUS> hit(std::string_view call) {
    if (quiet()) return std::nullopt;
    return detail::hit_checked(call);
}
// How many times an armed fault has fired.
unsigned fired(std::string_view call);

// Sees every call that could fail, on the calling thread, before it is
// decided (a test stops a sequence at one of its steps this way). One
// observer at a time, for the guard's lifetime; it must not make such calls itself.
class ScopedObserver {
public:
    explicit ScopedObserver(std::function<void(std::string_view call)> observer);
    ~ScopedObserver();
    ScopedObserver(const ScopedObserver&) = delete;
    ScopedObserver& operator=(const ScopedObserver&) = delete;
};

}  // namespace platform::fault

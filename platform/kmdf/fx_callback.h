// The framework's side of every call into a driver's callback: the driver
// must return at the IRQL it was called at, holding none of the spin locks
// it took. On Windows a callback that breaks this hangs or bug-checks the
// machine later, far from the cause; here the return is reported at once
// (and the level put back, so the thread can go on).
#pragma once

#include <string>

#include "platform/kernel/irql.h"
#include "platform/kernel/rules.h"
#include "platform/kernel/sync.h"

namespace platform::kmdf {

class DriverCallbackScope {
public:
    explicit DriverCallbackScope(const char* callback)
        : callback_(callback), irql_(KeGetCurrentIrql()), spinLocks_(spin_locks_held()) {}
    ~DriverCallbackScope() {
        KIRQL now = KeGetCurrentIrql();
        if (now != irql_ || spin_locks_held() > spinLocks_) [[unlikely]] report(now);
    }
    DriverCallbackScope(const DriverCallbackScope&) = delete;
    DriverCallbackScope& operator=(const DriverCallbackScope&) = delete;

private:
    // Out of line: every callback's return passes the checks above.
    [[gnu::cold, gnu::noinline]] void report(KIRQL now) {
        if (now != irql_) {
            rule_violation("IRQL", std::string(callback_) + " returned to the framework at IRQL " +
                                       std::to_string(now) + ", called at " + std::to_string(irql_));
            KIRQL ignored;
            if (now > irql_) {
                KeLowerIrql(irql_);
            } else {
                KeRaiseIrql(irql_, &ignored);
            }
        }
        if (spin_locks_held() > spinLocks_) {
            rule_violation("spin lock", std::string(callback_) + " returned to the framework holding a spin lock");
        }
    }

    const char* callback_;
    KIRQL irql_;
    unsigned spinLocks_;
};

// Calls `fn` (the driver's callback) inside a DriverCallbackScope; its result.
template <typename Fn>
decltype(auto) CallDriver(const char* callback, Fn&& fn) {
    DriverCallbackScope scope(callback);
    return fn();
}

}  // namespace platform::kmdf

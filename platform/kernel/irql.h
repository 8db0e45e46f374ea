// Interrupt request level, tracked per thread. Spin locks and completion
// contexts raise it; calls that may block check it.
#pragma once

#include "nt_types.h"

inline constexpr KIRQL PASSIVE_LEVEL = 0;
inline constexpr KIRQL APC_LEVEL = 1;
inline constexpr KIRQL DISPATCH_LEVEL = 2;

KIRQL KeGetCurrentIrql();
void KeRaiseIrql(KIRQL newIrql, KIRQL* oldIrql);
void KeLowerIrql(KIRQL newIrql);

// At the entry of code that runs only at PASSIVE_LEVEL: a caller at a raised
// level is reported as a broken rule, so a callback reached on the wrong path
// fails the test that took it there.
#define PAGED_CODE() ::platform::require_passive(__func__)

namespace platform {

// Reports a violation unless the caller runs at PASSIVE_LEVEL.
void require_passive(const char* call);
// Reports a violation unless the caller runs at or below DISPATCH_LEVEL.
void require_dispatch_or_below(const char* call);

// Runs a scope at DISPATCH_LEVEL, as the USB completion path and timers do.
class DispatchLevelScope {
public:
    DispatchLevelScope() { KeRaiseIrql(DISPATCH_LEVEL, &old_); }
    ~DispatchLevelScope() { KeLowerIrql(old_); }
    DispatchLevelScope(const DispatchLevelScope&) = delete;
    DispatchLevelScope& operator=(const DispatchLevelScope&) = delete;

private:
    KIRQL old_ = PASSIVE_LEVEL;
};

}  // namespace platform

// One trace point, shared by the kernel and the user-mode logger clients:
// the guard on the ring's enable word and the record's four values. Each
// client keeps its own enable words and its own writers.
#pragma once

#include <type_traits>

#include "platform/kernel/barrier.h"
#include "platform/machine/logger_protocol.h"

namespace vexa::trace {

// The word is read no-fence: it only gates tracing and the logger may change
// it at any time; the pointer to it is read with acquire, so a guard that
// sees a ring's word sees the ring mapped.
inline bool Enabled(volatile ULONG* const volatile* enable, ULONG mask) {
    return (ReadULongNoFence(ReadPointerAcquire(enable)) & mask) == mask;
}

template <typename T>
ULONG64 TraceValue(T value) {
    if constexpr (std::is_pointer_v<T>) {
        return reinterpret_cast<ULONG64>(value);
    } else if constexpr (std::is_enum_v<T>) {
        return static_cast<ULONG64>(value);
    } else {
        return static_cast<ULONG64>(static_cast<std::make_unsigned_t<std::common_type_t<T, int>>>(value));
    }
}

// Writes one record through `write` when every bit of `mask` is enabled.
template <typename Write, typename... Values>
inline void Point(volatile ULONG* const volatile* enable, Write write, ULONG file, ULONG line, ULONG mask,
                  Values... values) {
    static_assert(sizeof...(Values) <= 4, "a trace record holds four values");
    if (!Enabled(enable, mask)) return;
    ULONG64 v[4] = {TraceValue(values)...};
    write(mask, vexa::log::TracePointId(file, line), v[0], v[1], v[2], v[3]);
}

}  // namespace vexa::trace

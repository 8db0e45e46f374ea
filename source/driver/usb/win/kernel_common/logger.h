// Kernel logger client: attaches to the outside logger's two shared rings and
// writes trace records into them without a lock and without calling the
// logger. One instance per driver image (each image links its own copy).
//
// A trace point costs one load and a test while its bits are off:
//   TRACE(kLogError | kLogInterface, status, value2);     // "STND" ring
//   TRACE_RT(kLogDetail | kLogStream, frames);            // "REAL" ring
// Each source file defines LOG_FILE_NUMBER before using them.
#pragma once

#include <type_traits>

#include "platform/kernel/ntddk.h"
#include "platform/machine/logger_protocol.h"

// Opens the logger and maps both rings; tracing stays off when it fails.
[[nodiscard]] NTSTATUS LoggerOpen();
void LoggerClose();
void LoggerWriteStandard(ULONG mask, ULONG id, ULONG64 value1, ULONG64 value2, ULONG64 value3, ULONG64 value4);
void LoggerWriteRealtime(ULONG mask, ULONG id, ULONG64 value1, ULONG64 value2, ULONG64 value3, ULONG64 value4);
// A synchronous internal request to the logger: function index 0 is 0x222000.
[[nodiscard]] NTSTATUS LoggerIoctl(ULONG functionIndex, PVOID input, ULONG inputLength, PVOID output,
                                   ULONG outputLength);

namespace vexa::log {

// The enable words the guards read: the rings' enableMask while attached,
// else a zero word of this module. Open and close switch the pointers
// (release writes, acquire reads: a guard that sees a ring's word sees the
// ring mapped); the words themselves are read no-fence, as they only gate
// tracing and the logger may change them at any time.
extern volatile ULONG* volatile g_standardEnable;
extern volatile ULONG* volatile g_realtimeEnable;

inline bool Enabled(volatile ULONG* const volatile* enable, ULONG mask) {
    return (ReadULongNoFence(ReadPointerAcquire(enable)) & mask) == mask;
}
inline bool StandardEnabled(ULONG mask) { return Enabled(&g_standardEnable, mask); }
inline bool RealtimeEnabled(ULONG mask) { return Enabled(&g_realtimeEnable, mask); }

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

// One trace point of either ring: `realtime` picks the "REAL" ring.
template <bool realtime, typename... Values>
inline void Trace(ULONG file, ULONG line, ULONG mask, Values... values) {
    static_assert(sizeof...(Values) <= 4, "a trace record holds four values");
    if (!Enabled(realtime ? &g_realtimeEnable : &g_standardEnable, mask)) return;
    ULONG64 v[4] = {TraceValue(values)...};
    (realtime ? LoggerWriteRealtime : LoggerWriteStandard)(mask, TracePointId(file, line), v[0], v[1], v[2], v[3]);
}

}  // namespace vexa::log

#define TRACE(mask, ...) ::vexa::log::Trace<false>(LOG_FILE_NUMBER, __LINE__, (mask), ##__VA_ARGS__)
#define TRACE_RT(mask, ...) ::vexa::log::Trace<true>(LOG_FILE_NUMBER, __LINE__, (mask), ##__VA_ARGS__)

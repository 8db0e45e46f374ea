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
#include "source/driver/usb/win/vexa_usb_device/public/logger_protocol.h"

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
// else a zero word of this module. Read with relaxed loads; they only gate
// tracing.
extern volatile ULONG* g_standardEnable;
extern volatile ULONG* g_realtimeEnable;

inline bool StandardEnabled(ULONG mask) {
    volatile ULONG* word = __atomic_load_n(&g_standardEnable, __ATOMIC_ACQUIRE);
    return (__atomic_load_n(word, __ATOMIC_RELAXED) & mask) == mask;
}

inline bool RealtimeEnabled(ULONG mask) {
    volatile ULONG* word = __atomic_load_n(&g_realtimeEnable, __ATOMIC_ACQUIRE);
    return (__atomic_load_n(word, __ATOMIC_RELAXED) & mask) == mask;
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

template <typename... Values>
inline void TraceStandard(ULONG file, ULONG line, ULONG mask, Values... values) {
    static_assert(sizeof...(Values) <= 4, "a trace record holds four values");
    if (!StandardEnabled(mask)) return;
    ULONG64 v[4] = {TraceValue(values)...};
    LoggerWriteStandard(mask, TracePointId(file, line), v[0], v[1], v[2], v[3]);
}

template <typename... Values>
inline void TraceRealtime(ULONG file, ULONG line, ULONG mask, Values... values) {
    static_assert(sizeof...(Values) <= 4, "a trace record holds four values");
    if (!RealtimeEnabled(mask)) return;
    ULONG64 v[4] = {TraceValue(values)...};
    LoggerWriteRealtime(mask, TracePointId(file, line), v[0], v[1], v[2], v[3]);
}

}  // namespace vexa::log

#define TRACE(mask, ...) ::vexa::log::TraceStandard(LOG_FILE_NUMBER, __LINE__, (mask), ##__VA_ARGS__)
#define TRACE_RT(mask, ...) ::vexa::log::TraceRealtime(LOG_FILE_NUMBER, __LINE__, (mask), ##__VA_ARGS__)

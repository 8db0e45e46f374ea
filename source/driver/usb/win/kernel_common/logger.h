// Kernel logger client: attaches to the outside logger's two shared rings and
// writes trace records into them without a lock and without calling the
// logger. One instance per driver image (each image links its own copy).
//
// A trace point costs one load and a test while its bits are off:
//   TRACE(kLogError | kLogInterface, status, value2);     // "STND" ring
//   TRACE_RT(kLogDetail | kLogStream, frames);            // "REAL" ring
// Each source file defines LOG_FILE_NUMBER before using them.
#pragma once

#include "platform/kernel/ntddk.h"
#include "source/driver/usb/win/trace_point.h"

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

inline bool StandardEnabled(ULONG mask) { return trace::Enabled(&g_standardEnable, mask); }
inline bool RealtimeEnabled(ULONG mask) { return trace::Enabled(&g_realtimeEnable, mask); }

// One trace point of either ring: `realtime` picks the "REAL" ring.
template <bool realtime, typename... Values>
inline void Trace(ULONG file, ULONG line, ULONG mask, Values... values) {
    trace::Point(realtime ? &g_realtimeEnable : &g_standardEnable,
                 realtime ? LoggerWriteRealtime : LoggerWriteStandard, file, line, mask, values...);
}

}  // namespace vexa::log

#define TRACE(mask, ...) ::vexa::log::Trace<false>(LOG_FILE_NUMBER, __LINE__, (mask), ##__VA_ARGS__)
#define TRACE_RT(mask, ...) ::vexa::log::Trace<true>(LOG_FILE_NUMBER, __LINE__, (mask), ##__VA_ARGS__)

// User-mode logger client: one process-wide connection per module to the
// outside logger, counted across the objects that open it. The trace guards
// read the rings' enable words straight from the logger's headers mapped into
// the process; each record is sent to the logger as one write request (the
// client never writes into the rings itself).
//
// A trace point costs one load and a test while its bits are off:
//   TRACE(kLogError | kLogAsio, result);        // "STND" ring
//   TRACE_RT(kLogDetail | kLogAsio, position);  // "REAL" ring
// Each source file defines LOG_FILE_NUMBER before using them.
#pragma once

#include "platform/win32/ntstatus.h"  // open and close answer NT status values
#include "platform/win32/windows.h"
#include "source/driver/usb/win/trace_point.h"

// Opens (or counts another reference to) the connection. Logging never fails
// a caller: callers may ignore the result, and without a logger every guard stays false.
NTSTATUS LoggerOpen();
// Drops one reference; the last one closes the connection and turns tracing off.
NTSTATUS LoggerClose();
// A synchronous request to the logger: function index 0 is 0x222000. The output is zeroed first.
[[nodiscard]] NTSTATUS LoggerIoctl(ULONG functionIndex, PVOID input, ULONG inputLength, PVOID output,
                                   ULONG outputLength);
// One record as one request; FALSE when the client is closed or the logger refuses it.
BOOL LoggerWriteStandard(ULONG mask, ULONG id, ULONG64 value1, ULONG64 value2, ULONG64 value3, ULONG64 value4);
BOOL LoggerWriteRealtime(ULONG mask, ULONG id, ULONG64 value1, ULONG64 value2, ULONG64 value3, ULONG64 value4);

namespace vexa::user_log {

// The enable words the guards read: the rings' enableMask while open, else a
// zero word of this module. Open and close switch the pointers (release
// writes, acquire reads), so a guard on another thread never reads a
// half-switched pointer; the words themselves are read no-fence, as they only
// gate tracing and the logger may change them at any time.
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

}  // namespace vexa::user_log

#define TRACE(mask, ...) ::vexa::user_log::Trace<false>(LOG_FILE_NUMBER, __LINE__, (mask), ##__VA_ARGS__)
#define TRACE_RT(mask, ...) ::vexa::user_log::Trace<true>(LOG_FILE_NUMBER, __LINE__, (mask), ##__VA_ARGS__)

// The control panel's own trace points, written through the user-mode logger
// client: one request per record, and only while the logger's standard ring
// takes information records.
#pragma once

#include "source/driver/usb/win/user_common/logger.h"
#include "source/driver/usb/win/version.h"

namespace cpl::trace {

// Trace point ids of the program: its file number in bits 13 and up, then a
// fixed line each (the ids support tools know).
inline constexpr ULONG kFileNumber = 1201;
inline constexpr ULONG kIdStartUp = vexa::log::TracePointId(kFileNumber, 42);  // value 1: the program's packed version
inline constexpr ULONG kIdShutDown = vexa::log::TracePointId(kFileNumber, 142);
inline constexpr ULONG kIdQuitRequested = vexa::log::TracePointId(kFileNumber, 165);
static_assert(kIdStartUp == 0x96202A && kIdShutDown == 0x96208E && kIdQuitRequested == 0x9620A5);

// The system's version, a release build.
inline constexpr ULONG64 kProgramPackedVersion = ::vexa::version::kPacked;

// An information record. Costs one read while information records are off or
// the logger is closed; a refused write is not the caller's concern.
inline void info(ULONG id, ULONG64 value1 = 0) {
    if (!vexa::user_log::StandardEnabled(vexa::log::kLogInfo)) return;
    LoggerWriteStandard(vexa::log::kLogInfo, id, value1, 0, 0, 0);
}

// The application's reference to the process's logger connection. It drops
// only the reference its own open took, and only once: a second quit request,
// or a quit after an open that failed, must not take away a reference that
// another part of the program holds.
class LoggerReference {
public:
    // Without a logger tracing stays off and nothing else changes.
    void open() {
        if (!held) held = NT_SUCCESS(LoggerOpen());
    }
    void close() {
        if (!held) return;
        held = false;
        LoggerClose();
    }
    bool holds() const { return held; }

private:
    bool held = false;
};

}  // namespace cpl::trace

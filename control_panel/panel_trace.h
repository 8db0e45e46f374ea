// Where the control panel meets the user-mode logger client: opening and
// closing the process's logger connection and the panel's own trace records.
//
// The logger client is not in the tree yet. Until it is, these do nothing
// (tracing stays off, as it does when no logger is present); when it lands,
// open() becomes LoggerOpen(), close() LoggerClose() and info() a guarded
// LoggerWriteStandard(kInfoMask, id, value, 0, 0, 0), and nothing else in the
// panel changes.
#pragma once

#include <cstdint>

namespace cpl::trace {

inline constexpr uint32_t kInfoMask = 0x100;

// Trace point ids: the program's file number 1201 in bits 13 and up.
inline constexpr uint32_t kIdStartUp = 0x96202A;        // value 1: the program's packed version
inline constexpr uint32_t kIdShutDown = 0x96208E;
inline constexpr uint32_t kIdQuitRequested = 0x9620A5;

// 4.3.2.47999, a release build.
inline constexpr uint64_t kProgramPackedVersion = 0x804030020000BB7Full;

// The result is ignored by the panel: a failed open leaves tracing off.
inline void open() {}

inline void close() {}

inline void info([[maybe_unused]] uint32_t id, [[maybe_unused]] uint64_t value1 = 0) {}

}  // namespace cpl::trace

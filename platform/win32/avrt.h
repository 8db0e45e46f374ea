// The multimedia class scheduler's "avrt.dll", built into this layer. Code
// loads it by name and takes its entries with GetProcAddress. A thread joins
// a task ("Pro Audio" and the other tasks Windows defines) and may raise its
// priority within it; every call is recorded for tests, which can also make
// the library or one of its entries missing. Joining is recorded only, unless
// the program asks for real scheduling (set_real_time_scheduling): then a
// thread that joins "Pro Audio", the task Windows schedules in real time,
// runs in the host's real-time class (SCHED_FIFO) while the host allows it,
// until it reverts.
#pragma once

#include <string>
#include <vector>

#include "windows.h"

enum AVRT_PRIORITY {
    AVRT_PRIORITY_VERYLOW = -2,
    AVRT_PRIORITY_LOW = -1,
    AVRT_PRIORITY_NORMAL = 0,
    AVRT_PRIORITY_HIGH = 1,
    AVRT_PRIORITY_CRITICAL = 2,
};

// The entries' types, for the pointers GetProcAddress answers.
using AvSetMmThreadCharacteristicsAFn = HANDLE (*)(LPCSTR taskName, LPDWORD taskIndex);
using AvSetMmThreadPriorityFn = BOOL (*)(HANDLE task, AVRT_PRIORITY priority);
using AvRevertMmThreadCharacteristicsFn = BOOL (*)(HANDLE task);

namespace platform::win32::avrt {

struct Call {
    std::string entry;     // "AvSetMmThreadCharacteristicsA", ...
    std::string task;      // the task name (AvSetMmThreadCharacteristicsA)
    DWORD taskIndex = 0;   // the index answered
    int priority = 0;      // AvSetMmThreadPriority
    HANDLE handle = nullptr;  // the task handle answered or passed
    DWORD threadId = 0;
    bool succeeded = false;
    bool realTime = false;  // the host's scheduler runs the thread in its real-time class
};

std::vector<Call> calls();
void clear_calls();
// A missing library cannot be loaded (ERROR_MOD_NOT_FOUND); a missing entry is
// not found by GetProcAddress (ERROR_PROC_NOT_FOUND). Both come back with restore().
void set_missing(bool missing);
void hide_entry(const std::string& entry);
void restore();
// Off by default, so tests' threads keep the host's ordinary scheduling; a
// program whose audio must keep time in wall-clock time turns it on. A host
// that refuses the real-time class (no privilege) leaves the thread as it
// was: the join still succeeds, recorded with realTime false.
void set_real_time_scheduling(bool on);

}  // namespace platform::win32::avrt

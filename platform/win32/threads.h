// Threads, mutexes and waits (part of windows.h; include that). A thread
// made by CreateThread acts as the process that made it, so the handles it
// uses resolve there. Thread and mutex handles belong to this program: the
// simulated processes of a test program share them, as they share its
// modules; a program behind the socket is one process, as on Windows.
// Waits are in wall-clock milliseconds.
#pragma once

#include <functional>

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID parameter);

inline constexpr int THREAD_PRIORITY_IDLE = -15;
inline constexpr int THREAD_PRIORITY_LOWEST = -2;
inline constexpr int THREAD_PRIORITY_BELOW_NORMAL = -1;
inline constexpr int THREAD_PRIORITY_NORMAL = 0;
inline constexpr int THREAD_PRIORITY_ABOVE_NORMAL = 1;
inline constexpr int THREAD_PRIORITY_HIGHEST = 2;
inline constexpr int THREAD_PRIORITY_TIME_CRITICAL = 15;
inline constexpr int THREAD_PRIORITY_ERROR_RETURN = 0x7FFFFFFF;

// Starts at once (no creation flags are modelled: any is refused with
// ERROR_NOT_SUPPORTED); the stack size is the system's. `threadId` receives
// the new thread's id.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD flags, LPDWORD threadId);
// The pseudo-handle of the calling thread (not to be closed).
HANDLE GetCurrentThread();
DWORD GetCurrentThreadId();
// The priority is recorded per thread (what it asked for), not applied to the host's scheduler.
BOOL SetThreadPriority(HANDLE thread, int priority);
int GetThreadPriority(HANDLE thread);
// STILL_ACTIVE while the thread runs, then its routine's result.
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
// Sleeps in wall-clock time, unless a test installed a sleep hook (below).
void Sleep(DWORD milliseconds);

// Unnamed mutexes only (a name is refused with ERROR_NOT_SUPPORTED). A mutex is
// recursive and owned by a thread; a thread that ends while owning one
// abandons it, and the next wait that gets it answers WAIT_ABANDONED (+ index).
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES security, BOOL initialOwner, LPCSTR name);
// ERROR_NOT_OWNER unless the calling thread owns the mutex.
BOOL ReleaseMutex(HANDLE mutex);

// Waits on an event, a mutex or a thread. WAIT_FAILED (ERROR_INVALID_HANDLE) for anything else.
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);
// Wait-any answers the lowest index whose object it could take, taking only
// that one (one auto-reset event consumed, one mutex acquired). Wait-all is
// not modelled (ERROR_NOT_SUPPORTED); a bad handle anywhere fails the wait.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);

// Critical sections: recursive locks of one program's threads (the same
// token a thread's mutexes know it by). Strict where Windows leaves the
// result undefined: entering, leaving or deleting one that is not
// initialised (zeroed, or deleted), initialising one twice, leaving one the
// thread does not own and deleting one that is held are reported as broken
// rules. Initialising cannot fail here (as from Windows Vista on).
struct CriticalSectionState;  // the layer's own
struct CRITICAL_SECTION {
    CriticalSectionState* State;  // null while not initialised
    ULONG_PTR Reserved[4];
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;

void InitializeCriticalSection(LPCRITICAL_SECTION section);
void EnterCriticalSection(LPCRITICAL_SECTION section);
// TRUE when taken (or already owned by the caller) without waiting.
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section);
void LeaveCriticalSection(LPCRITICAL_SECTION section);
void DeleteCriticalSection(LPCRITICAL_SECTION section);

// Ends the program at once with `exitCode`: no static destructors run and no
// thread is told, as Windows ends a process. The simulated processes of a
// test program end with it; a program behind the socket is one process.
[[noreturn]] void ExitProcess(UINT exitCode);

// Cancels the requests `thread` has on the file its synchronous device request
// waits on; FALSE with ERROR_NOT_FOUND when it is blocked in none (a thread
// with only overlapped requests, or waiting in GetOverlappedResult, is in none).
BOOL CancelSynchronousIo(HANDLE thread);

namespace platform::win32 {

// Test seam: while a hook is installed, every Sleep of the program hands its
// pause to the hook instead of sleeping (the hook may record it and return at
// once), so code that pauses between retries costs no wall time in a test.
// Null restores real sleeping.
using SleepHook = std::function<void(DWORD milliseconds)>;
void set_sleep_hook(SleepHook hook);

}  // namespace platform::win32

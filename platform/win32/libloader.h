// Modules (part of windows.h; include that). A module is a DLL installed on
// the machine at a Windows path, which names a built shared object (the
// machine's table of installed files, filled at boot; tests install their own
// test modules), or one built into this layer ("avrt.dll"). Paths match
// without regard to case; a bare name is looked for among the loaded modules,
// then in "C:\Windows\System32". Loading calls the module's exported DllMain
// with DLL_PROCESS_ATTACH (FALSE fails the load, after DLL_PROCESS_DETACH)
// and the last FreeLibrary calls it with DLL_PROCESS_DETACH, both under the
// loader lock. Modules are loaded once per program: the simulated processes
// of a test program share a module's image and its state. Every built module
// is 64-bit: a 32-bit process cannot load one (ERROR_BAD_EXE_FORMAT).
#pragma once

inline constexpr DWORD DLL_PROCESS_DETACH = 0;
inline constexpr DWORD DLL_PROCESS_ATTACH = 1;
inline constexpr DWORD DLL_THREAD_ATTACH = 2;
inline constexpr DWORD DLL_THREAD_DETACH = 3;

// What a module marks its exports with (its other symbols stay hidden).
#define VEXA_DLL_EXPORT extern "C" __attribute__((visibility("default")))

using DllMainFn = BOOL (*)(HINSTANCE instance, DWORD reason, LPVOID reserved);

HMODULE LoadLibraryA(LPCSTR fileName);
HMODULE LoadLibraryW(LPCWSTR fileName);
FARPROC GetProcAddress(HMODULE module, LPCSTR procName);
BOOL FreeLibrary(HMODULE module);
// Frees the module and ends the calling thread with `exitCode`, never
// returning into the caller: how a thread running a module's code lets the
// module go without executing code the free may have unmapped. The module is
// freed once the thread's frames are gone. Only a thread CreateThread made
// can be ended so; on any other it is a reported rule violation (the module
// is freed and the call returns).
void FreeLibraryAndExitThread(HMODULE module, DWORD exitCode);
// Null: the program's own module. Does not count a reference.
HMODULE GetModuleHandleA(LPCSTR moduleName);
// Null (or the program's module): the process's image path. A path longer
// than the buffer is cut to `size` - 1 characters and a NUL, answers `size`
// and sets ERROR_INSUFFICIENT_BUFFER.
DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);

#include <string>
#include <vector>

namespace platform::win32 {

// The modules loaded in this program, with their reference counts (for tests).
struct LoadedModule {
    std::u16string windowsPath;
    unsigned references;
};
std::vector<LoadedModule> loaded_modules();

}  // namespace platform::win32

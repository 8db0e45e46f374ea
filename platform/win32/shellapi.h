// ShellExecuteA as the system uses it: "open" on a program installed on the
// machine at a Windows path, which names a built program here. The program
// starts with the machine's socket in VEXA_MACHINE_SOCKET, so it joins the
// same machine; the working folder is not modelled. Every call is recorded.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "windows.h"

inline constexpr int SE_ERR_FNF = 2;
inline constexpr int SE_ERR_ACCESSDENIED = 5;
inline constexpr int SE_ERR_NOASSOC = 31;

// Above 32 on success; else one of the SE_ERR values, cast to HINSTANCE.
HINSTANCE ShellExecuteA(HWND owner, LPCSTR operation, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                        INT showCommand);

namespace platform::win32::shell {

struct Execution {
    HWND owner = nullptr;
    std::string operation;
    std::string file;
    std::string parameters;
    std::string directory;
    int showCommand = 0;
    intptr_t result = 0;
    std::string program;  // the built program started; empty when none was
    std::string socket;   // the VEXA_MACHINE_SOCKET it was given
};

std::vector<Execution> executions();
void clear_executions();
// Waits for the program the `index`th execution started to end; its exit
// status, or nothing when that execution started none.
std::optional<int> wait_for_exit(size_t index);

}  // namespace platform::win32::shell

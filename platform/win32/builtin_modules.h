// Modules this layer carries itself, found by LoadLibrary before the machine's installed files.
#pragma once

#include "windows.h"

namespace platform::win32 {

struct BuiltinModule {
    const char16_t* windowsPath;  // where Windows keeps it
    bool (*present)();
    FARPROC (*entry)(const char* name);  // null when the module has no such entry
};

const BuiltinModule& avrt_module();

}  // namespace platform::win32

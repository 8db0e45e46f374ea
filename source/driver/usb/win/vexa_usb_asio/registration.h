// What regsvr32 makes the module write and remove: the COM class under
// HKEY_CLASSES_ROOT\CLSID and the driver's entry in the system's list of
// ASIO drivers under HKEY_LOCAL_MACHINE\SOFTWARE\ASIO.
#pragma once

#include "platform/win32/objbase.h"

namespace vexa::asio {

// Codes the exports show in their message box; 0 is success.
inline constexpr LONG kRegisterNoModule = -101;     // the module is not loaded under its name
inline constexpr LONG kRegisterNoPath = -102;       // no module path, or one longer than kMaxModulePath
inline constexpr LONG kRegisterNoClsidText = -103;  // the class id cannot be written as text
inline constexpr LONG kRegisterNoAnsiText = -104;   // that text cannot be converted to the ANSI code page
// Ours: a registry key or value that could not be created or written, or a
// tree that could not be removed, so a half-done registration is never
// answered as done.
inline constexpr LONG kRegisterKeyWriteFailed = -105;
inline constexpr LONG kRegisterKeyDeleteFailed = -106;

inline constexpr DWORD kMaxModulePath = 360;  // characters, the NUL included

// The module's path is written lower-cased and read back the same way.
LONG RegisterAsioDriver(REFCLSID clsid, const char* moduleName, const char* driverName, const char* description,
                        const char* threadingModel);
LONG UnregisterAsioDriver(REFCLSID clsid, const char* moduleName, const char* driverName);

}  // namespace vexa::asio

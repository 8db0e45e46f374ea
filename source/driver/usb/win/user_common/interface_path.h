// The device-interface path lookup user mode shares: the path of a present
// interface of a class, read whole whatever its length (SetupAPI is asked for
// the size first, so no fixed buffer cuts a long path or skips it).
#pragma once

#include <string>

#include "platform/win32/setupapi.h"
#include "platform/win32/windows.h"

namespace vexa::user {

// The path of the interface of `interfaceClass` at `index` in `devices`:
// ERROR_SUCCESS with `*path` set, ERROR_NO_MORE_ITEMS when there is no
// interface at `index`, or the error of reading its path. `*path` is left
// empty on every failure.
DWORD InterfacePath(HDEVINFO devices, const GUID& interfaceClass, DWORD index, std::string* path);

// The path of the first present interface of `interfaceClass`, as InterfacePath
// answers (ERROR_NO_MORE_ITEMS: none is present), or the error of listing them.
DWORD FirstInterfacePath(const GUID& interfaceClass, std::string* path);

}  // namespace vexa::user

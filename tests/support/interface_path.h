// Test equipment: the path of the first present interface of a class, found
// by the lookup the library and the ASIO driver share, in the UTF-16 form the
// tests open it by; empty when none is present.
#pragma once

#include <string>

#include "platform/win32/ansi.h"
#include "source/driver/usb/win/user_common/interface_path.h"

namespace vexa::test {

inline std::u16string InterfacePath(const GUID& interfaceClass) {
    std::string path;
    ::vexa::user::FirstInterfacePath(interfaceClass, &path);
    return platform::win32::ansi_to_wide(path);
}

}  // namespace vexa::test

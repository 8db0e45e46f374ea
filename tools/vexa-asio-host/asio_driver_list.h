// The ASIO drivers installed on the machine, as every ASIO host finds them:
// one subkey per driver under HKEY_LOCAL_MACHINE\SOFTWARE\ASIO, whose
// "CLSID" value names the class to create and whose "Description" is shown.
#pragma once

#include <string>
#include <vector>

#include "platform/win32/objbase.h"

namespace vexa::asio_host {

struct InstalledDriver {
    std::string name;         // the subkey
    std::string description;  // "Description", or the name when it has none
    std::string clsidText;    // "CLSID" as written
    CLSID clsid{};
    bool clsidValid = false;  // the text is a class id
};

// In the calling process's registry view (a 32-bit host sees the 32-bit drivers).
std::vector<InstalledDriver> ListInstalledDrivers();

}  // namespace vexa::asio_host

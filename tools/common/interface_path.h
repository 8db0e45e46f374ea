// The path of the first present device interface of a class, as the library
// and the ASIO driver find theirs: for the tools and the tests that open the
// root driver directly.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32/setupapi.h"
#include "platform/win32/windows.h"

namespace vexa::tools {

// Empty when no interface of the class is present.
inline std::u16string InterfacePath(const GUID& interfaceClass) {
    HDEVINFO devices = SetupDiGetClassDevsW(&interfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (devices == INVALID_HANDLE_VALUE) return {};
    std::u16string path;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    if (SetupDiEnumDeviceInterfaces(devices, nullptr, &interfaceClass, 0, &data)) {
        DWORD needed = 0;
        SetupDiGetDeviceInterfaceDetailW(devices, &data, nullptr, 0, &needed, nullptr);
        std::vector<uint8_t> storage(needed);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (SetupDiGetDeviceInterfaceDetailW(devices, &data, detail, needed, nullptr, nullptr)) path = detail->DevicePath;
    }
    SetupDiDestroyDeviceInfoList(devices);
    return path;
}

}  // namespace vexa::tools

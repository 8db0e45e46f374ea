#include "interface_path.h"

#include <cstddef>
#include <cstring>
#include <vector>

namespace vexa::user {
namespace {

// A SetupAPI list, destroyed on every path.
class DeviceList {
public:
    explicit DeviceList(HDEVINFO list) : list_(list) {}
    ~DeviceList() {
        if (valid()) SetupDiDestroyDeviceInfoList(list_);
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;
    bool valid() const { return list_ != INVALID_HANDLE_VALUE_DEVINFO && list_ != nullptr; }
    HDEVINFO get() const { return list_; }

private:
    HDEVINFO list_;
};

// The last error of a step that failed; never ERROR_SUCCESS, which would read as a path found.
DWORD Failed() {
    DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

}  // namespace

DWORD InterfacePath(HDEVINFO devices, const GUID& interfaceClass, DWORD index, std::string* path) {
    path->clear();
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    if (!SetupDiEnumDeviceInterfaces(devices, nullptr, &interfaceClass, index, &data)) return ERROR_NO_MORE_ITEMS;
    DWORD needed = 0;
    SetupDiGetDeviceInterfaceDetailA(devices, &data, nullptr, 0, &needed, nullptr);
    constexpr DWORD kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    if (needed <= kPathOffset) return Failed();
    std::vector<uint64_t> storage((needed + sizeof(uint64_t) - 1) / sizeof(uint64_t));  // aligned for the record
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(devices, &data, detail, needed, nullptr, nullptr)) return Failed();
    path->assign(detail->DevicePath, strnlen(detail->DevicePath, needed - kPathOffset));
    return ERROR_SUCCESS;
}

DWORD FirstInterfacePath(const GUID& interfaceClass, std::string* path) {
    path->clear();
    DeviceList devices(
        SetupDiGetClassDevsA(&interfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!devices.valid()) return Failed();
    return InterfacePath(devices.get(), interfaceClass, 0, path);
}

}  // namespace vexa::user

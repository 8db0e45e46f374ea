// Device-interface enumeration: a snapshot of the machine's interfaces of one class.
#include "setupapi.h"

#include <cstddef>
#include <string>
#include <vector>

#include "ansi.h"
#include "platform/kernel/ntstatus.h"
#include "user_process.h"

namespace {

constexpr uint32_t kDeviceInfoMagic = 0x56444953;  // "SIDV"

struct DeviceInfoList {
    uint32_t magic = kDeviceInfoMagic;
    GUID interfaceClass{};
    std::vector<std::u16string> paths;  // Win32 form, "\\?\..."
};

DeviceInfoList* List(HDEVINFO devices) {
    auto* list = static_cast<DeviceInfoList*>(devices);
    if (devices == nullptr || devices == INVALID_HANDLE_VALUE || list->magic != kDeviceInfoMagic) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return list;
}

}  // namespace

HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, LPCWSTR, HWND, DWORD flags) {
    if (classGuid == nullptr || (flags & DIGCF_DEVICEINTERFACE) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    platform::win32::UserProcess* process = platform::win32::current_process();
    if (process == nullptr) {
        SetLastError(ERROR_SERVICE_NOT_ACTIVE);
        return INVALID_HANDLE_VALUE;
    }
    auto* list = new DeviceInfoList;
    list->interfaceClass = *classGuid;
    for (const std::u16string& link : process->interfaces(*classGuid, (flags & DIGCF_PRESENT) != 0)) {
        // "\??\X" is "\\?\X" to a Win32 caller.
        list->paths.push_back(link.rfind(u"\\??\\", 0) == 0 ? u"\\\\?\\" + link.substr(4) : link);
    }
    return list;
}

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR enumerator, HWND parent, DWORD flags) {
    // The enumerator is not used by either form.
    (void)enumerator;
    return SetupDiGetClassDevsW(classGuid, nullptr, parent, flags);
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO devices, SP_DEVINFO_DATA*, const GUID* interfaceClass, DWORD index,
                                 SP_DEVICE_INTERFACE_DATA* data) {
    DeviceInfoList* list = List(devices);
    if (list == nullptr) return FALSE;
    if (interfaceClass == nullptr || data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!(*interfaceClass == list->interfaceClass) || index >= list->paths.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->InterfaceClassGuid = list->interfaceClass;
    data->Flags = SPINT_ACTIVE;
    data->Reserved = index + 1;
    return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO devices, SP_DEVICE_INTERFACE_DATA* data,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detailSize,
                                      DWORD* requiredSize, SP_DEVINFO_DATA*) {
    DeviceInfoList* list = List(devices);
    if (list == nullptr) return FALSE;
    if (data == nullptr || data->Reserved == 0 || data->Reserved > list->paths.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::u16string& path = list->paths[data->Reserved - 1];
    DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                      (path.size() + 1) * sizeof(WCHAR));
    if (requiredSize != nullptr) *requiredSize = needed;
    if (detail == nullptr || detailSize < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::memcpy(detail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO devices, SP_DEVICE_INTERFACE_DATA* data,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize,
                                      DWORD* requiredSize, SP_DEVINFO_DATA*) {
    DeviceInfoList* list = List(devices);
    if (list == nullptr) return FALSE;
    if (data == nullptr || data->Reserved == 0 || data->Reserved > list->paths.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string path = platform::win32::wide_to_ansi(list->paths[data->Reserved - 1]);
    DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (requiredSize != nullptr) *requiredSize = needed;
    if (detail == nullptr || detailSize < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO devices) {
    DeviceInfoList* list = List(devices);
    if (list == nullptr) return FALSE;
    list->magic = 0;
    delete list;
    return TRUE;
}

// The configuration manager's notifications, in the callback form Windows
// offers (CM_Register_Notification): a program hears of device interfaces
// of a class arriving and going without a window or a message loop. Only
// device-interface filters are modelled; a filter on a device handle or an
// instance answers CR_CALL_NOT_IMPLEMENTED.
//
// Callbacks of one registration run one at a time, in the order the changes
// happened, on a thread of the registration's own that acts as the process
// that registered; they start with the first change after the registration
// (interfaces present before it are not announced). Unregistering waits for
// a callback in flight and then no callback of the registration runs again.
// Unregistering from the registration's own callback deadlocks on Windows:
// here it is a reported rule violation.
#pragma once

#include <cstddef>

#include "windows.h"

using CONFIGRET = DWORD;
inline constexpr CONFIGRET CR_SUCCESS = 0x00;
inline constexpr CONFIGRET CR_OUT_OF_MEMORY = 0x02;
inline constexpr CONFIGRET CR_INVALID_POINTER = 0x03;
inline constexpr CONFIGRET CR_INVALID_FLAG = 0x04;
inline constexpr CONFIGRET CR_FAILURE = 0x13;
inline constexpr CONFIGRET CR_INVALID_DATA = 0x1F;
inline constexpr CONFIGRET CR_CALL_NOT_IMPLEMENTED = 0x34;

inline constexpr DWORD MAX_DEVICE_ID_LEN = 200;

enum CM_NOTIFY_FILTER_TYPE : DWORD {
    CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE = 0,
    CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE = 1,
    CM_NOTIFY_FILTER_TYPE_DEVICEINSTANCE = 2,
};

// Every interface class instead of the filter's one.
inline constexpr DWORD CM_NOTIFY_FILTER_FLAG_ALL_INTERFACE_CLASSES = 0x1;

struct CM_NOTIFY_FILTER {
    DWORD cbSize;  // sizeof(CM_NOTIFY_FILTER)
    DWORD Flags;
    CM_NOTIFY_FILTER_TYPE FilterType;
    DWORD Reserved;  // 0
    union {
        struct {
            GUID ClassGuid;
        } DeviceInterface;
        struct {
            HANDLE hTarget;
        } DeviceHandle;
        struct {
            WCHAR InstanceId[MAX_DEVICE_ID_LEN];
        } DeviceInstance;
    } u;
};
static_assert(sizeof(CM_NOTIFY_FILTER) == 416);

enum CM_NOTIFY_ACTION : DWORD {
    CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL = 0,
    CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL = 1,
};

// What a device-interface callback is given: the class and the interface's
// path as SetupAPI reports it ("\\?\..."), NUL-terminated; the size given
// with it counts the whole record, the path's NUL included.
struct CM_NOTIFY_EVENT_DATA {
    CM_NOTIFY_FILTER_TYPE FilterType;
    DWORD Reserved;
    union {
        struct {
            GUID ClassGuid;
            WCHAR SymbolicLink[1];
        } DeviceInterface;
    } u;
};
static_assert(offsetof(CM_NOTIFY_EVENT_DATA, u.DeviceInterface.SymbolicLink) == 24);

struct CmNotificationObject;  // the layer's own
using HCMNOTIFICATION = CmNotificationObject*;

// Its answer matters only for query-remove actions, which are not modelled; return ERROR_SUCCESS.
using PCM_NOTIFY_CALLBACK = DWORD (*)(HCMNOTIFICATION notify, PVOID context, CM_NOTIFY_ACTION action,
                                      CM_NOTIFY_EVENT_DATA* eventData, DWORD eventDataSize);

CONFIGRET CM_Register_Notification(const CM_NOTIFY_FILTER* filter, PVOID context, PCM_NOTIFY_CALLBACK callback,
                                   HCMNOTIFICATION* notifyContext);
// CR_INVALID_POINTER for a handle that is not (or no longer) a registration.
CONFIGRET CM_Unregister_Notification(HCMNOTIFICATION notifyContext);

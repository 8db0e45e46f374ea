// The framework's USB target objects: the USB device, its interfaces with
// their settings, and the configured pipes.
#pragma once

#include "platform/kmdf/wdf.h"
#include "platform/kmdf/wdf_io_target.h"
#include "platform/kmdf/wdf_request_send.h"
#include "usb_types.h"
#include "usb_urb.h"

inline constexpr ULONG USBD_CLIENT_CONTRACT_VERSION_602 = 0x602;

struct WDF_USB_DEVICE_CREATE_CONFIG {
    ULONG Size;
    ULONG USBDClientContractVersion;
};

inline void WDF_USB_DEVICE_CREATE_CONFIG_INIT(WDF_USB_DEVICE_CREATE_CONFIG* config, ULONG contractVersion) {
    std::memset(config, 0, sizeof(*config));
    config->Size = sizeof(*config);
    config->USBDClientContractVersion = contractVersion;
}

NTSTATUS WdfUsbTargetDeviceCreateWithParameters(WDFDEVICE device, WDF_USB_DEVICE_CREATE_CONFIG* config,
                                                PWDF_OBJECT_ATTRIBUTES attributes, WDFUSBDEVICE* usbDevice);

void WdfUsbTargetDeviceGetDeviceDescriptor(WDFUSBDEVICE usbDevice, USB_DEVICE_DESCRIPTOR* descriptor);
// With a null buffer (or one too small) answers STATUS_BUFFER_TOO_SMALL and the size needed.
NTSTATUS WdfUsbTargetDeviceRetrieveConfigDescriptor(WDFUSBDEVICE usbDevice, PVOID buffer, USHORT* length);

struct USBD_VERSION_INFORMATION {
    ULONG USBDI_Version;
    ULONG Supported_USB_Version;
};

inline constexpr ULONG WDF_USB_DEVICE_TRAIT_SELF_POWERED = 0x1;
inline constexpr ULONG WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE = 0x2;
inline constexpr ULONG WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED = 0x4;

struct WDF_USB_DEVICE_INFORMATION {
    ULONG Size;
    USBD_VERSION_INFORMATION UsbdVersionInformation;
    ULONG HcdPortCapabilities;
    ULONG Traits;
};
static_assert(sizeof(WDF_USB_DEVICE_INFORMATION) == 20);

inline void WDF_USB_DEVICE_INFORMATION_INIT(WDF_USB_DEVICE_INFORMATION* info) {
    std::memset(info, 0, sizeof(*info));
    info->Size = sizeof(*info);
}

NTSTATUS WdfUsbTargetDeviceRetrieveInformation(WDFUSBDEVICE usbDevice, WDF_USB_DEVICE_INFORMATION* information);

WDFUSBINTERFACE WdfUsbTargetDeviceGetInterface(WDFUSBDEVICE usbDevice, UCHAR interfaceIndex);

struct WDF_USB_INTERFACE_SETTING_PAIR {
    WDFUSBINTERFACE UsbInterface;
    UCHAR SettingIndex;
};
static_assert(sizeof(WDF_USB_INTERFACE_SETTING_PAIR) == 16);

enum WdfUsbTargetDeviceSelectConfigType : ULONG {
    WdfUsbTargetDeviceSelectConfigTypeInvalid = 0,
    WdfUsbTargetDeviceSelectConfigTypeDeconfig = 1,
    WdfUsbTargetDeviceSelectConfigTypeSingleInterface = 2,
    WdfUsbTargetDeviceSelectConfigTypeMultiInterface = 3,
    WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs = 4,
};

struct WDF_USB_DEVICE_SELECT_CONFIG_PARAMS {
    ULONG Size;
    WdfUsbTargetDeviceSelectConfigType Type;
    union {
        struct {
            UCHAR NumberConfiguredPipes;
            WDFUSBINTERFACE ConfiguredUsbInterface;
        } SingleInterface;
        struct {
            UCHAR NumberInterfaces;
            WDF_USB_INTERFACE_SETTING_PAIR* Pairs;
            UCHAR NumberOfConfiguredInterfaces;
        } MultiInterface;
    } Types;
};

// With pairs: each named interface at its setting index; without (count 0):
// every interface at setting 0.
inline void WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS* params,
                                                                         UCHAR numberInterfaces,
                                                                         WDF_USB_INTERFACE_SETTING_PAIR* pairs) {
    std::memset(params, 0, sizeof(*params));
    params->Size = sizeof(*params);
    params->Type = numberInterfaces == 0 ? WdfUsbTargetDeviceSelectConfigTypeMultiInterface
                                         : WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs;
    params->Types.MultiInterface.NumberInterfaces = numberInterfaces;
    params->Types.MultiInterface.Pairs = pairs;
}

NTSTATUS WdfUsbTargetDeviceSelectConfig(WDFUSBDEVICE usbDevice, PWDF_OBJECT_ATTRIBUTES pipeAttributes,
                                        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS* params);

// ---- interfaces -------------------------------------------------------------------

enum WDF_USB_PIPE_TYPE : ULONG {
    WdfUsbPipeTypeInvalid = 0,
    WdfUsbPipeTypeControl,
    WdfUsbPipeTypeIsochronous,
    WdfUsbPipeTypeBulk,
    WdfUsbPipeTypeInterrupt,
};

struct WDF_USB_PIPE_INFORMATION {
    ULONG Size;
    ULONG MaximumPacketSize;
    UCHAR EndpointAddress;
    UCHAR Interval;
    UCHAR SettingIndex;
    WDF_USB_PIPE_TYPE PipeType;
    ULONG MaximumTransferSize;
};
static_assert(sizeof(WDF_USB_PIPE_INFORMATION) == 20);

inline void WDF_USB_PIPE_INFORMATION_INIT(WDF_USB_PIPE_INFORMATION* info) {
    std::memset(info, 0, sizeof(*info));
    info->Size = sizeof(*info);
}

UCHAR WdfUsbInterfaceGetConfiguredSettingIndex(WDFUSBINTERFACE usbInterface);
UCHAR WdfUsbInterfaceGetNumConfiguredPipes(WDFUSBINTERFACE usbInterface);
// The interface descriptor of a setting (by index among the interface's settings).
void WdfUsbInterfaceGetDescriptor(WDFUSBINTERFACE usbInterface, UCHAR settingIndex,
                                  USB_INTERFACE_DESCRIPTOR* descriptor);
// Pipe `pipeIndex` of the configured setting; null past the last. Fills `information` when given.
WDFUSBPIPE WdfUsbInterfaceGetConfiguredPipe(WDFUSBINTERFACE usbInterface, UCHAR pipeIndex,
                                            WDF_USB_PIPE_INFORMATION* information);

// ---- transfers -------------------------------------------------------------------------

inline constexpr UCHAR BmRequestHostToDevice = 0;
inline constexpr UCHAR BmRequestDeviceToHost = 1;
inline constexpr UCHAR BmRequestToDevice = 0;
inline constexpr UCHAR BmRequestToInterface = 1;
inline constexpr UCHAR BmRequestToEndpoint = 2;
inline constexpr UCHAR BmRequestToOther = 3;

// Sends a class or vendor request and waits for it (at most the options'
// timeout). wLength is taken from the memory descriptor. A stall fails with
// STATUS_UNSUCCESSFUL, a removed device with STATUS_NO_SUCH_DEVICE, no answer
// in time with STATUS_IO_TIMEOUT. PASSIVE_LEVEL.
NTSTATUS WdfUsbTargetDeviceSendControlTransferSynchronously(WDFUSBDEVICE usbDevice, WDFREQUEST request,
                                                            WDF_REQUEST_SEND_OPTIONS* options,
                                                            WDF_USB_CONTROL_SETUP_PACKET* setupPacket,
                                                            WDF_MEMORY_DESCRIPTOR* memoryDescriptor,
                                                            ULONG* bytesTransferred);

// A string descriptor. With a null `string`, `numCharacters` receives the
// string's length in characters; else up to `*numCharacters` characters are
// copied (STATUS_BUFFER_OVERFLOW when the string is longer). PASSIVE_LEVEL.
NTSTATUS WdfUsbTargetDeviceQueryString(WDFUSBDEVICE usbDevice, WDFREQUEST request, WDF_REQUEST_SEND_OPTIONS* options,
                                       WCHAR* string, USHORT* numCharacters, UCHAR stringIndex, USHORT languageId);

enum WdfUsbTargetDeviceSelectSettingType : ULONG {
    WdfUsbInterfaceSelectSettingTypeDescriptor = 0x10,
    WdfUsbInterfaceSelectSettingTypeSetting = 0x11,
    WdfUsbInterfaceSelectSettingTypeUrb = 0x12,
};

struct WDF_USB_INTERFACE_SELECT_SETTING_PARAMS {
    ULONG Size;
    WdfUsbTargetDeviceSelectSettingType Type;
    union {
        struct {
            UCHAR SettingIndex;
        } Interface;
    } Types;
};

inline void WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS* params,
                                                                 UCHAR settingIndex) {
    std::memset(params, 0, sizeof(*params));
    params->Size = sizeof(*params);
    params->Type = WdfUsbInterfaceSelectSettingTypeSetting;
    params->Types.Interface.SettingIndex = settingIndex;
}

// Selects another setting; the interface's old pipe objects are deleted and
// the new setting's pipes configured. PASSIVE_LEVEL.
NTSTATUS WdfUsbInterfaceSelectSetting(WDFUSBINTERFACE usbInterface, PWDF_OBJECT_ATTRIBUTES pipeAttributes,
                                      WDF_USB_INTERFACE_SELECT_SETTING_PARAMS* params);

WDFIOTARGET WdfUsbTargetPipeGetIoTarget(WDFUSBPIPE pipe);
// Cancels every transfer pending on the pipe and waits for them. PASSIVE_LEVEL.
NTSTATUS WdfUsbTargetPipeAbortSynchronously(WDFUSBPIPE pipe, WDFREQUEST request, WDF_REQUEST_SEND_OPTIONS* options);

using EVT_WDF_USB_READER_COMPLETION_ROUTINE = void(WDFUSBPIPE pipe, WDFMEMORY buffer, size_t bytesTransferred,
                                                   WDFCONTEXT context);
using PFN_WDF_USB_READER_COMPLETION_ROUTINE = EVT_WDF_USB_READER_COMPLETION_ROUTINE*;
using EVT_WDF_USB_READERS_FAILED = BOOLEAN(WDFUSBPIPE pipe, NTSTATUS status, USBD_STATUS usbdStatus);
using PFN_WDF_USB_READERS_FAILED = EVT_WDF_USB_READERS_FAILED*;

struct WDF_USB_CONTINUOUS_READER_CONFIG {
    ULONG Size;
    size_t TransferLength;
    size_t HeaderLength;
    size_t TrailerLength;
    UCHAR NumPendingReads;  // 0: the framework's default
    PWDF_OBJECT_ATTRIBUTES BufferAttributes;
    PFN_WDF_USB_READER_COMPLETION_ROUTINE EvtUsbTargetPipeReadComplete;
    WDFCONTEXT EvtUsbTargetPipeReadCompleteContext;
    PFN_WDF_USB_READERS_FAILED EvtUsbTargetPipeReadersFailed;
};

inline constexpr UCHAR WDF_USB_CONTINUOUS_READER_DEFAULT_READS = 2;

inline void WDF_USB_CONTINUOUS_READER_CONFIG_INIT(WDF_USB_CONTINUOUS_READER_CONFIG* config,
                                                  PFN_WDF_USB_READER_COMPLETION_ROUTINE complete, WDFCONTEXT context,
                                                  size_t transferLength) {
    std::memset(config, 0, sizeof(*config));
    config->Size = sizeof(*config);
    config->TransferLength = transferLength;
    config->EvtUsbTargetPipeReadComplete = complete;
    config->EvtUsbTargetPipeReadCompleteContext = context;
}

// Configures a reader on an interrupt or bulk IN pipe (once per pipe). The
// pipe's target is left stopped; starting it starts the reads, whose
// completions run at DISPATCH_LEVEL. A failed read calls ReadersFailed; TRUE
// resets the pipe and restarts the reader. PASSIVE_LEVEL.
NTSTATUS WdfUsbTargetPipeConfigContinuousReader(WDFUSBPIPE pipe, WDF_USB_CONTINUOUS_READER_CONFIG* config);

// ---- isochronous URBs and bulk writes ----------------------------------------------------------

// An isochronous URB of `packets` packets in a memory object (parent per the attributes).
NTSTATUS WdfUsbTargetDeviceCreateIsochUrb(WDFUSBDEVICE usbDevice, PWDF_OBJECT_ATTRIBUTES attributes, ULONG packets,
                                          WDFMEMORY* urbMemory, PURB* urb);
// The bus's current 1 ms frame number.
NTSTATUS WdfUsbTargetDeviceRetrieveCurrentFrameNumber(WDFUSBDEVICE usbDevice, ULONG* frameNumber);
USBD_PIPE_HANDLE WdfUsbTargetPipeWdmGetPipeHandle(WDFUSBPIPE pipe);
NTSTATUS WdfUsbTargetPipeFormatRequestForUrb(WDFUSBPIPE pipe, WDFREQUEST request, WDFMEMORY urbMemory,
                                             WDFMEMORY_OFFSET* urbOffset);
NTSTATUS WdfUsbTargetPipeFormatRequestForWrite(WDFUSBPIPE pipe, WDFREQUEST request, WDFMEMORY writeMemory,
                                               WDFMEMORY_OFFSET* writeOffset);

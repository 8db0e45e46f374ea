// The USB configuration: the USB target, the device and configuration
// descriptors, the configured interfaces with their pipe records.
#include "device.h"
#include "event_log.h"
#include "logger.h"
#include "messages.h"
#include "platform/usb/usbd.h"
#include "status_error.h"
#include "usb_audio.h"

#define LOG_FILE_NUMBER 460

using namespace vexa::log;

namespace {

constexpr USHORT kValidationLevel = 2;
constexpr UCHAR kSuperSpeedCompanionMinBytes = 6;
constexpr ULONG kDeviceInformationBytes = 20;

void FreePipes(InterfaceObject* object) {
    for (PipeRecord*& pipe : object->pipes) {
        if (pipe != nullptr) ExFreePoolWithTag(pipe, kPoolTagObject);
        pipe = nullptr;
    }
    if (object->descriptor != nullptr) {
        ExFreePoolWithTag(object->descriptor, kPoolTagBuffer);
        object->descriptor = nullptr;
    }
}

const UCHAR* ConfigurationEnd(const USB_CONFIGURATION* configuration) {
    return reinterpret_cast<const UCHAR*>(configuration->configurationDescriptor) +
           configuration->configurationDescriptor->wTotalLength;
}

// The next endpoint descriptor after `start`, within the same interface setting.
const USB_ENDPOINT_DESCRIPTOR* NextEndpoint(const USB_CONFIGURATION* configuration, const UCHAR* start) {
    const UCHAR* end = ConfigurationEnd(configuration);
    for (const UCHAR* p = start; end - p >= 2 && p[0] >= 2 && p[0] <= end - p; p += p[0]) {
        if (p[1] == USB_INTERFACE_DESCRIPTOR_TYPE) return nullptr;
        if (p[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && p[0] >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            return reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(p);
        }
    }
    return nullptr;
}

// Rebuilds an interface object's pipe records for its configured setting.
void EnumeratePipes(InterfaceObject* object) {
    USB_CONFIGURATION* configuration = object->configuration;
    FreePipes(object);
    UCHAR pipeCount = WdfUsbInterfaceGetNumConfiguredPipes(object->usbInterface);
    if (pipeCount > kMaxPipesPerInterface) {
        TRACE(kLogError | kLogDescriptor, pipeCount);
        RaiseStatus(STATUS_NOT_SUPPORTED);
    }
    object->descriptor = static_cast<USB_INTERFACE_DESCRIPTOR*>(
        ExAllocatePoolWithTag(g_nonPagedPool, sizeof(USB_INTERFACE_DESCRIPTOR), kPoolTagBuffer));
    if (object->descriptor == nullptr) RaiseStatus(STATUS_INVALID_PARAMETER);
    for (UCHAR i = 0; i < pipeCount; ++i) {
        auto* pipe = static_cast<PipeRecord*>(ExAllocatePoolWithTag(g_nonPagedPool, sizeof(PipeRecord), kPoolTagObject));
        if (pipe == nullptr) RaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
        RtlZeroMemory(pipe, sizeof(*pipe));
        pipe->interface = object;
        object->pipes[i] = pipe;
    }

    UCHAR setting = WdfUsbInterfaceGetConfiguredSettingIndex(object->usbInterface);
    WdfUsbInterfaceGetDescriptor(object->usbInterface, setting, object->descriptor);
    const USB_INTERFACE_DESCRIPTOR* found = USBD_ParseConfigurationDescriptorEx(
        configuration->configurationDescriptor, configuration->configurationDescriptor,
        object->descriptor->bInterfaceNumber, object->descriptor->bAlternateSetting,
        object->descriptor->bInterfaceClass, object->descriptor->bInterfaceSubClass,
        object->descriptor->bInterfaceProtocol);
    if (found == nullptr) RaiseStatus(STATUS_INVALID_PARAMETER);

    const UCHAR* start = reinterpret_cast<const UCHAR*>(found) + found->bLength;
    UCHAR described = 0;
    for (UCHAR i = 0; i < found->bNumEndpoints; ++i) {
        const USB_ENDPOINT_DESCRIPTOR* endpoint = NextEndpoint(configuration, start);
        if (endpoint == nullptr) break;
        // An endpoint the framework did not configure would leave a record without a pipe.
        if (i >= pipeCount) {
            TRACE(kLogError | kLogDescriptor, i, pipeCount);
            RaiseStatus(STATUS_INVALID_PARAMETER);
        }
        PipeRecord* pipe = object->pipes[i];
        WDF_USB_PIPE_INFORMATION_INIT(&pipe->information);
        pipe->pipe = WdfUsbInterfaceGetConfiguredPipe(object->usbInterface, i, &pipe->information);
        pipe->endpoint = endpoint;
        (void)CheckIsochronousPipe(pipe);  // a refused packet size shows when the stream is built
        TRACE(kLogDetail | kLogDescriptor, endpoint->bEndpointAddress, pipe->information.MaximumPacketSize,
              pipe->information.Interval);
        start = reinterpret_cast<const UCHAR*>(endpoint) + endpoint->bLength;
        ++described;
    }
    // A configured pipe whose endpoint descriptor is missing (cut short, or a
    // length that ends the walk) would leave a record without a pipe.
    if (described < pipeCount) {
        TRACE(kLogError | kLogDescriptor, described, pipeCount);
        RaiseStatus(STATUS_INVALID_PARAMETER);
    }
}

// Reads the configuration descriptor into a memory object parented to the USB target.
void RetrieveConfiguration(USB_CONFIGURATION* configuration) {
    WDFUSBDEVICE usbDevice = configuration->deviceContext->usbDevice;
    USHORT size = 0;
    NTSTATUS status = WdfUsbTargetDeviceRetrieveConfigDescriptor(usbDevice, nullptr, &size);
    if (status != STATUS_BUFFER_TOO_SMALL || size == 0) RaiseStatus(NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status);

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = usbDevice;
    WDFMEMORY memory;
    PVOID buffer = nullptr;
    RaiseIfFailed(WdfMemoryCreate(&attributes, g_nonPagedPool, kPoolTagBuffer, size, &memory, &buffer));
    RaiseIfFailed(WdfUsbTargetDeviceRetrieveConfigDescriptor(usbDevice, buffer, &size));
    configuration->configurationDescriptor = static_cast<USB_CONFIGURATION_DESCRIPTOR*>(buffer);

    UCHAR* offset = nullptr;
    USBD_STATUS valid = USBD_ValidateConfigurationDescriptor(configuration->configurationDescriptor, size,
                                                             kValidationLevel, &offset, kPoolTagBuffer);
    if (valid != USBD_STATUS_SUCCESS) {
        TRACE(kLogError | kLogDescriptor, valid, offset - static_cast<UCHAR*>(buffer));
        RaiseStatus(valid);
    }
    const UCHAR* end = ConfigurationEnd(configuration);
    for (const UCHAR* p = static_cast<const UCHAR*>(buffer) + configuration->configurationDescriptor->bLength;
         p < end; p += p[0]) {
        if (p[1] == USB_SUPERSPEED_ENDPOINT_COMPANION_DESCRIPTOR_TYPE && p[0] < kSuperSpeedCompanionMinBytes) {
            RaiseStatus(USBD_STATUS_BAD_DESCRIPTOR);
        }
    }
}

constexpr ULONG kControllerNameHeaderBytes = 6;  // u32 length and one character
constexpr ULONG kHardwareIdPieceBytes = 32;
constexpr ACCESS_MASK kControllerAccess = 0x1F0000;

// Sends IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME with `buffer` to the PDO.
[[nodiscard]] NTSTATUS QueryControllerName(DEVICE_OBJECT* pdo, PVOID buffer, ULONG length, bool* built) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    IRP* irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME, pdo, nullptr, 0,
                                             nullptr, 0, TRUE, &done, &ioStatus);
    *built = irp != nullptr;
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    IO_STACK_LOCATION* stack = IoGetNextIrpStackLocation(irp);
    stack->Parameters.Others.Argument1 = buffer;
    stack->Parameters.Others.Argument2 = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(length));
    NTSTATUS status = IoCallDriver(pdo, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}

// The controller's bus relations: its root hub, referenced for the caller.
[[nodiscard]] NTSTATUS QueryRootHub(DEVICE_OBJECT* controller, DEVICE_OBJECT** rootHub) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    IRP* irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, controller, nullptr, 0, nullptr, &done, &ioStatus);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IO_STACK_LOCATION* stack = IoGetNextIrpStackLocation(irp);
    stack->MinorFunction = IRP_MN_QUERY_DEVICE_RELATIONS;
    stack->Parameters.QueryDeviceRelations.Type = BusRelations;
    NTSTATUS status = IoCallDriver(controller, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    if (!NT_SUCCESS(status)) return status;
    auto* relations = reinterpret_cast<DEVICE_RELATIONS*>(ioStatus.Information);
    if (relations == nullptr || relations->Count == 0) {
        if (relations != nullptr) ExFreePool(relations);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *rootHub = relations->Objects[0];
    // Every object in the list came referenced: keep the hub's, drop the rest.
    for (ULONG i = 1; i < relations->Count; ++i) {
        if (relations->Objects[i] != nullptr) ObDereferenceObject(relations->Objects[i]);
    }
    ExFreePool(relations);
    return *rootHub == nullptr ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

void TraceHardwareIds(DEVICE_OBJECT* rootHub) {
    ULONG bytes = 0;
    NTSTATUS status = IoGetDeviceProperty(rootHub, DevicePropertyHardwareID, 0, nullptr, &bytes);
    if (status != STATUS_BUFFER_TOO_SMALL || bytes == 0) return;
    PoolBuffer buffer(g_nonPagedPool, bytes, kPoolTagBuffer);
    auto* ids = buffer.Get<WCHAR>();
    if (ids == nullptr) return;
    if (NT_SUCCESS(IoGetDeviceProperty(rootHub, DevicePropertyHardwareID, bytes, ids, &bytes))) {
        char piece[kHardwareIdPieceBytes];
        ULONG characters = bytes / sizeof(WCHAR);
        for (ULONG start = 0; start < characters; start += kHardwareIdPieceBytes) {
            RtlZeroMemory(piece, sizeof(piece));
            for (ULONG i = 0; i < kHardwareIdPieceBytes && start + i < characters; ++i) {
                piece[i] = static_cast<char>(ids[start + i]);
            }
            ULONG64 words[4];
            RtlCopyMemory(words, piece, sizeof(words));
            TRACE(kLogDetail | kLogDescriptor, words[0], words[1], words[2], words[3]);
        }
    }
}

// A diagnostic: names the host controller and its root hub in the trace.
// Every reference it takes is released; every request's status is checked.
[[nodiscard]] NTSTATUS IdentifyHostController(DEVICE_OBJECT* pdo) {
    UCHAR probe[kControllerNameHeaderBytes] = {};
    bool built = false;
    NTSTATUS status = QueryControllerName(pdo, probe, sizeof(probe), &built);
    if (!built) return STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) return status;
    ULONG nameBytes = 0;
    RtlCopyMemory(&nameBytes, probe, sizeof(nameBytes));
    ULONG length = nameBytes + kControllerNameHeaderBytes;
    PoolBuffer buffer(g_nonPagedPool, length, kPoolTagBuffer);
    auto* answer = buffer.Get<UCHAR>();
    if (answer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(answer, length);
    status = QueryControllerName(pdo, answer, length, &built);
    FILE_OBJECT* file = nullptr;
    DEVICE_OBJECT* controller = nullptr;
    DEVICE_OBJECT* rootHub = nullptr;
    if (NT_SUCCESS(status)) {
        UNICODE_STRING name;
        name.Buffer = reinterpret_cast<WCHAR*>(answer + sizeof(ULONG));
        name.Length = static_cast<USHORT>(std::min<ULONG>(nameBytes, length - kControllerNameHeaderBytes));
        name.MaximumLength = name.Length;
        status = IoGetDeviceObjectPointer(&name, kControllerAccess, &file, &controller);
    }
    if (NT_SUCCESS(status)) status = QueryRootHub(controller, &rootHub);
    if (NT_SUCCESS(status)) TraceHardwareIds(rootHub);
    if (rootHub != nullptr) ObDereferenceObject(rootHub);
    if (file != nullptr) ObDereferenceObject(file);
    if (!NT_SUCCESS(status)) TRACE(kLogError | kLogDescriptor, status);
    return status;
}

void SelectConfiguration(USB_CONFIGURATION* configuration) {
    WDFUSBDEVICE usbDevice = configuration->deviceContext->usbDevice;
    UCHAR count = configuration->configurationDescriptor->bNumInterfaces;
    // The interface table holds eight: a larger configuration is refused, not stored past it.
    if (count > kMaxInterfaces) {
        TRACE(kLogError | kLogDescriptor, count);
        RaiseStatus(STATUS_NOT_SUPPORTED);
    }
    configuration->interfaceCount = count;

    PoolBuffer pairBuffer(g_nonPagedPool, count * sizeof(WDF_USB_INTERFACE_SETTING_PAIR), kPoolTagBuffer);
    auto* pairs = pairBuffer.Get<WDF_USB_INTERFACE_SETTING_PAIR>();
    if (count != 0 && pairs == nullptr) RaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
    NTSTATUS status = STATUS_SUCCESS;
    for (UCHAR i = 0; i < count && NT_SUCCESS(status); ++i) {
        pairs[i].UsbInterface = WdfUsbTargetDeviceGetInterface(usbDevice, i);
        pairs[i].SettingIndex = 0;
        if (pairs[i].UsbInterface == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
    }
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, count, pairs);
    if (NT_SUCCESS(status)) status = WdfUsbTargetDeviceSelectConfig(usbDevice, WDF_NO_OBJECT_ATTRIBUTES, &params);
    RaiseIfFailed(status);
    UCHAR configured = params.Types.MultiInterface.NumberOfConfiguredInterfaces;
    if (configured > kMaxInterfaces) RaiseStatus(STATUS_NOT_SUPPORTED);
    for (UCHAR i = 0; i < configured; ++i) {
        InterfaceObject* object = configuration->interfaces[i];
        if (object == nullptr) RaiseStatus(STATUS_INTERNAL_ERROR);
        object->usbInterface = count != 0 ? pairs[i].UsbInterface : WdfUsbTargetDeviceGetInterface(usbDevice, i);
        EnumeratePipes(object);
    }
}

}  // namespace

void ConfigurationInit(USB_CONFIGURATION* configuration) { RtlZeroMemory(configuration, sizeof(*configuration)); }

void ConfigurationCleanup(USB_CONFIGURATION* configuration) {
    for (InterfaceObject*& object : configuration->interfaces) {
        if (object == nullptr) continue;
        FreePipes(object);
        ExFreePoolWithTag(object, kPoolTagObject);
        object = nullptr;
    }
    configuration->interfaceCount = 0;
    configuration->configurationDescriptor = nullptr;
}

NTSTATUS CheckIsochronousPipe(PipeRecord* pipe) {
    if (pipe->information.PipeType != WdfUsbPipeTypeIsochronous) return STATUS_SUCCESS;
    ULONG packet = pipe->information.MaximumPacketSize;
    UCHAR interval = pipe->information.Interval;
    if (packet < 1 || packet > kMaxIsochronousPacketBytes || interval < 1 || interval > kMaxIsochronousInterval) {
        TRACE(kLogError | kLogDescriptor, packet, interval);
        return STATUS_INVALID_PARAMETER;
    }
    pipe->packetBytes = packet;
    pipe->bytesPerFrame = packet * PacketsPerFrame(interval);
    return STATUS_SUCCESS;
}

NTSTATUS UsbTargetSetup(USB_CONFIGURATION* configuration, WDFDEVICE wdfDevice) {
    NTSTATUS status = CatchStatus([&] {
        configuration->deviceContext = GetDeviceContext(wdfDevice);
        if (configuration->deviceContext == nullptr) RaiseStatus(STATUS_UNSUCCESSFUL);
        configuration->wdfDevice = wdfDevice;
        for (InterfaceObject*& object : configuration->interfaces) {
            if (object != nullptr) continue;
            object = static_cast<InterfaceObject*>(
                ExAllocatePoolWithTag(g_nonPagedPool, sizeof(InterfaceObject), kPoolTagObject));
            if (object == nullptr) RaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
            RtlZeroMemory(object, sizeof(*object));
            object->configuration = configuration;
        }
        DEVICE_CONTEXT* context = configuration->deviceContext;
        if (context->usbDevice == nullptr) {
            WDF_USB_DEVICE_CREATE_CONFIG create;
            WDF_USB_DEVICE_CREATE_CONFIG_INIT(&create, USBD_CLIENT_CONTRACT_VERSION_602);
            RaiseIfFailed(WdfUsbTargetDeviceCreateWithParameters(wdfDevice, &create, WDF_NO_OBJECT_ATTRIBUTES,
                                                                 &context->usbDevice));
        }
        WdfUsbTargetDeviceGetDeviceDescriptor(context->usbDevice, &configuration->deviceDescriptor);
        RetrieveConfiguration(configuration);
        SelectConfiguration(configuration);
        configuration->pdo = WdfDeviceWdmGetPhysicalDevice(wdfDevice);
        if (configuration->pdo == nullptr) RaiseStatus(STATUS_UNSUCCESSFUL);
        WDF_USB_DEVICE_INFORMATION_INIT(&configuration->information);
        static_assert(sizeof(configuration->information) == kDeviceInformationBytes);
        NTSTATUS stepStatus = WdfUsbTargetDeviceRetrieveInformation(context->usbDevice, &configuration->information);
        if (NT_SUCCESS(stepStatus)) stepStatus = IdentifyHostController(configuration->pdo);
        if (!NT_SUCCESS(stepStatus)) {
            configuration->pdo = nullptr;
            configuration->wdfDevice = nullptr;
            RaiseStatus(stepStatus);
        }
    });
    if (!NT_SUCCESS(status)) TRACE(kLogError | kLogDescriptor, status);
    return status;
}

namespace {

constexpr LONGLONG kControlTimeout = WDF_REL_TIMEOUT_IN_MS(500);
constexpr LONGLONG kAbortTimeout = WDF_REL_TIMEOUT_IN_MS(200);
constexpr USHORT kLanguageEnglishUs = 0x0409;
constexpr UCHAR kRequestTypeClass = 0x20;  // bmRequestType bits 5-6: a class request
constexpr UCHAR kRecipientMask = 0x3;

}  // namespace

// DISPATCH_LEVEL. Answering TRUE has the framework reset the pipe and restart the reader.
BOOLEAN UsbEvtPipeReadersFailed(WDFUSBPIPE pipe, NTSTATUS status, USBD_STATUS usbdStatus) {
    TRACE(kLogWarning | kLogDescriptor, pipe, status, usbdStatus);
    return TRUE;
}

NTSTATUS ClassControlTransfer(USB_CONFIGURATION* configuration, UCHAR direction, UCHAR recipient, UCHAR request,
                              USHORT value, USHORT index, PVOID buffer, ULONG length, ULONG* bytesTransferred) {
    WDF_USB_CONTROL_SETUP_PACKET setup;
    RtlZeroMemory(&setup, sizeof(setup));
    setup.bmRequestType = static_cast<UCHAR>(kRequestTypeClass | direction << 7 | (recipient & kRecipientMask));
    setup.bRequest = request;
    setup.wValue = value;
    setup.wIndex = index;
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, kControlTimeout);
    WDF_MEMORY_DESCRIPTOR memory;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&memory, buffer, length);
    ULONG moved = 0;
    NTSTATUS status = WdfUsbTargetDeviceSendControlTransferSynchronously(
        configuration->deviceContext->usbDevice, nullptr, &options, &setup, length != 0 ? &memory : nullptr, &moved);
    if (NT_SUCCESS(status) && bytesTransferred != nullptr) *bytesTransferred = moved;
    if (!NT_SUCCESS(status)) TRACE(kLogError | kLogDescriptor, status, request, value, index);
    return status;
}

NTSTATUS SelectAlternateSetting(InterfaceObject* object, UCHAR settingIndex) {
    if (WdfUsbInterfaceGetConfiguredSettingIndex(object->usbInterface) == settingIndex) return STATUS_SUCCESS;
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS params;
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(&params, settingIndex);
    NTSTATUS status = WdfUsbInterfaceSelectSetting(object->usbInterface, WDF_NO_OBJECT_ATTRIBUTES, &params);
    if (!NT_SUCCESS(status)) {
        TRACE(kLogError | kLogDescriptor, status, settingIndex);
        LogEvent(WdfDeviceWdmGetDeviceObject(object->configuration->wdfDevice), kMajorPnp, MSG_NOT_ENOUGH_BANDWIDTH,
                 status);
        return status;
    }
    status = CatchStatus([&] { EnumeratePipes(object); });
    if (!NT_SUCCESS(status)) TRACE(kLogError | kLogDescriptor, status);
    return status;
}

NTSTATUS ReadStringDescriptor(USB_CONFIGURATION* configuration, UCHAR index, WCHAR* buffer, USHORT capacity) {
    if (buffer == nullptr) return STATUS_INVALID_PARAMETER;
    WDFUSBDEVICE usbDevice = configuration->deviceContext->usbDevice;
    USHORT length = 0;
    NTSTATUS status = WdfUsbTargetDeviceQueryString(usbDevice, nullptr, nullptr, nullptr, &length, index,
                                                    kLanguageEnglishUs);
    if (!NT_SUCCESS(status)) return status;
    if (length == 0) return STATUS_INVALID_PARAMETER;
    USHORT need = static_cast<USHORT>(length + 1);
    if (capacity < need) return STATUS_BUFFER_TOO_SMALL;
    USHORT characters = need;
    status = WdfUsbTargetDeviceQueryString(usbDevice, nullptr, nullptr, buffer, &characters, index, kLanguageEnglishUs);
    if (NT_SUCCESS(status)) buffer[need - 1] = 0;
    return status;
}

const USB_COMMON_DESCRIPTOR* NextDescriptorOfType(const USB_CONFIGURATION* configuration, const void* start,
                                                  UCHAR type) {
    if (start == nullptr || configuration->configurationDescriptor == nullptr) return nullptr;
    const auto* begin = reinterpret_cast<const UCHAR*>(configuration->configurationDescriptor);
    const UCHAR* end = ConfigurationEnd(configuration);
    const auto* p = static_cast<const UCHAR*>(start);
    if (p < begin || end - p < 2) return nullptr;
    for (;;) {
        if (p[0] < 2) return nullptr;
        p += p[0];
        if (end - p < 2 || p[0] < 2 || p[0] > end - p) return nullptr;
        if (p[1] == USB_INTERFACE_DESCRIPTOR_TYPE) return nullptr;
        if (type == 0 || p[1] == type) return reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(p);
    }
}

void AbortPipe(PipeRecord* pipe) {
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, kAbortTimeout);
    (void)WdfUsbTargetPipeAbortSynchronously(pipe->pipe, nullptr, &options);
}

NTSTATUS ConfigureContinuousReader(PipeRecord* pipe, PFN_WDF_USB_READER_COMPLETION_ROUTINE completion,
                                   WDFCONTEXT context) {
    WDF_USB_CONTINUOUS_READER_CONFIG config;
    WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&config, completion, context, pipe->information.MaximumPacketSize);
    config.EvtUsbTargetPipeReadersFailed = UsbEvtPipeReadersFailed;
    NTSTATUS status = WdfUsbTargetPipeConfigContinuousReader(pipe->pipe, &config);
    if (!NT_SUCCESS(status)) TRACE(kLogError | kLogDescriptor, status, pipe->information.EndpointAddress);
    return status;
}

NTSTATUS StartReaderPipe(PipeRecord* pipe) {
    if (pipe == nullptr) return STATUS_SUCCESS;
    return WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(pipe->pipe));
}

void StopReaderPipe(PipeRecord* pipe) {
    if (pipe == nullptr) return;
    WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(pipe->pipe), WdfIoTargetCancelSentIo);
}

ULONG PipeCount(const InterfaceObject* object) {
    ULONG count = 0;
    while (count < kMaxPipesPerInterface && object->pipes[count] != nullptr) ++count;
    return count;
}

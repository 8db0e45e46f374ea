// The USB configuration: the USB target, the device and configuration
// descriptors, the configured interfaces with their pipe records.
#include "device.h"
#include "logger.h"
#include "platform/usb/usbd.h"
#include "status_error.h"

#define LOG_FILE_NUMBER 460

using namespace vexa::log;

namespace {

constexpr USHORT kValidationLevel = 2;
constexpr UCHAR kSuperSpeedCompanionMinBytes = 6;
constexpr ULONG kMaxIsochronousPacketBytes = 3072;  // three 1024-byte packets per microframe
constexpr UCHAR kMaxIsochronousInterval = 4;
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

void SelectConfiguration(USB_CONFIGURATION* configuration) {
    WDFUSBDEVICE usbDevice = configuration->deviceContext->usbDevice;
    UCHAR count = configuration->configurationDescriptor->bNumInterfaces;
    // The interface table holds eight: a larger configuration is refused, not stored past it.
    if (count > kMaxInterfaces) {
        TRACE(kLogError | kLogDescriptor, count);
        RaiseStatus(STATUS_NOT_SUPPORTED);
    }
    configuration->interfaceCount = count;

    WDF_USB_INTERFACE_SETTING_PAIR* pairs = nullptr;
    if (count != 0) {
        pairs = static_cast<WDF_USB_INTERFACE_SETTING_PAIR*>(
            ExAllocatePoolWithTag(g_nonPagedPool, count * sizeof(WDF_USB_INTERFACE_SETTING_PAIR), kPoolTagBuffer));
        if (pairs == nullptr) RaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
    }
    NTSTATUS status = STATUS_SUCCESS;
    for (UCHAR i = 0; i < count && NT_SUCCESS(status); ++i) {
        pairs[i].UsbInterface = WdfUsbTargetDeviceGetInterface(usbDevice, i);
        pairs[i].SettingIndex = 0;
        if (pairs[i].UsbInterface == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
    }
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, count, pairs);
    if (NT_SUCCESS(status)) status = WdfUsbTargetDeviceSelectConfig(usbDevice, WDF_NO_OBJECT_ATTRIBUTES, &params);
    try {
        RaiseIfFailed(status);
        UCHAR configured = params.Types.MultiInterface.NumberOfConfiguredInterfaces;
        if (configured > kMaxInterfaces) RaiseStatus(STATUS_NOT_SUPPORTED);
        for (UCHAR i = 0; i < configured; ++i) {
            InterfaceObject* object = configuration->interfaces[i];
            if (object == nullptr) RaiseStatus(STATUS_INTERNAL_ERROR);
            object->usbInterface = count != 0 ? pairs[i].UsbInterface : WdfUsbTargetDeviceGetInterface(usbDevice, i);
            EnumeratePipes(object);
        }
    } catch (const StatusError&) {
        if (pairs != nullptr) ExFreePoolWithTag(pairs, kPoolTagBuffer);
        throw;
    }
    if (pairs != nullptr) ExFreePoolWithTag(pairs, kPoolTagBuffer);
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
    // A high-speed endpoint moves one packet every 2^(interval-1) microframes.
    pipe->packetBytes = packet;
    pipe->bytesPerFrame = packet * (8u >> (interval - 1));
    return STATUS_SUCCESS;
}

NTSTATUS UsbTargetSetup(USB_CONFIGURATION* configuration, WDFDEVICE wdfDevice) {
    NTSTATUS status = STATUS_SUCCESS;
    try {
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
        NTSTATUS infoStatus = WdfUsbTargetDeviceRetrieveInformation(context->usbDevice, &configuration->information);
        if (!NT_SUCCESS(infoStatus)) {
            configuration->pdo = nullptr;
            configuration->wdfDevice = nullptr;
            RaiseStatus(infoStatus);
        }
    } catch (const StatusError& error) {
        status = error.status;
        TRACE(kLogError | kLogDescriptor, status);
    }
    return status;
}

#include <map>

#include "fx_usb.h"
#include "host_controller.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/rules.h"
#include "platform/kmdf/fx_device.h"
#include "platform/machine/machine.h"
#include "usbd.h"

namespace platform::usb {

namespace {

constexpr ULONG kMaximumTransferBytes = 4 * 1024 * 1024;

WDF_USB_PIPE_TYPE PipeType(UCHAR attributes) {
    switch (attributes & USB_ENDPOINT_TYPE_MASK) {
        case USB_ENDPOINT_TYPE_CONTROL: return WdfUsbPipeTypeControl;
        case USB_ENDPOINT_TYPE_ISOCHRONOUS: return WdfUsbPipeTypeIsochronous;
        case USB_ENDPOINT_TYPE_BULK: return WdfUsbPipeTypeBulk;
        default: return WdfUsbPipeTypeInterrupt;
    }
}

}  // namespace

FxUsbPipe::FxUsbPipe(FxUsbInterface* owner, const USB_ENDPOINT_DESCRIPTOR& endpoint, UCHAR settingIndex)
    : FxIoTarget(kmdf::FxType::UsbPipe), owner_(owner), host_(&HostController::get()), port_(&owner->device()->port()), endpoint_(endpoint) {
    WDF_USB_PIPE_INFORMATION_INIT(&information_);
    // A high-speed periodic endpoint may move up to three packets per
    // microframe; bits 11-12 of wMaxPacketSize say how many more.
    ULONG base = endpoint.wMaxPacketSize & 0x7FF;
    ULONG extra = (endpoint.wMaxPacketSize >> 11) & 3;
    WDF_USB_PIPE_TYPE type = PipeType(endpoint.bmAttributes);
    bool periodic = type == WdfUsbPipeTypeIsochronous || type == WdfUsbPipeTypeInterrupt;
    information_.MaximumPacketSize = periodic ? base * (extra + 1) : base;
    information_.EndpointAddress = endpoint.bEndpointAddress;
    information_.Interval = endpoint.bInterval;
    information_.SettingIndex = settingIndex;
    information_.PipeType = type;
    information_.MaximumTransferSize = kMaximumTransferBytes;
}

FxUsbInterface::FxUsbInterface(FxUsbDevice* device, UCHAR number, std::vector<size_t> settingOffsets)
    : FxObject(kmdf::FxType::UsbInterface), device_(device), number_(number), settings_(std::move(settingOffsets)) {}

UCHAR FxUsbInterface::configured_setting() const {
    std::lock_guard lock(lock_);
    return configured_;
}

const USB_INTERFACE_DESCRIPTOR* FxUsbInterface::setting(UCHAR index) const {
    if (index >= settings_.size()) return nullptr;
    return reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(device_->configuration().data() + settings_[index]);
}

std::vector<FxUsbPipe*> FxUsbInterface::pipes() const {
    std::lock_guard lock(lock_);
    return pipes_;
}

NTSTATUS FxUsbInterface::configure(UCHAR index, bool tellDevice) {
    const USB_INTERFACE_DESCRIPTOR* descriptor = setting(index);
    if (descriptor == nullptr) return STATUS_INVALID_PARAMETER;
    if (!device_->connected()) return STATUS_NO_SUCH_DEVICE;
    if (tellDevice) {
        NTSTATUS status = device_->port().model().set_interface(number_, descriptor->bAlternateSetting);
        if (!NT_SUCCESS(status)) return status;
    }
    // The endpoints of this setting: the endpoint descriptors up to the next interface descriptor.
    std::vector<USB_ENDPOINT_DESCRIPTOR> endpoints;
    const auto& config = device_->configuration();
    const uint8_t* end = config.data() + config.size();
    const uint8_t* p = reinterpret_cast<const uint8_t*>(descriptor) + descriptor->bLength;
    while (end - p >= 2 && p[0] >= 2 && p[0] <= end - p && p[1] != USB_INTERFACE_DESCRIPTOR_TYPE) {
        if (p[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && p[0] >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            USB_ENDPOINT_DESCRIPTOR endpoint;
            std::memcpy(&endpoint, p, sizeof(endpoint));
            endpoints.push_back(endpoint);
        }
        p += p[0];
    }
    std::vector<FxUsbPipe*> old;
    {
        std::lock_guard lock(lock_);
        old.swap(pipes_);
        configured_ = index;
    }
    // The old setting's pipe objects go; their handles are no longer valid.
    for (FxUsbPipe* pipe : old) pipe->delete_object();
    std::vector<FxUsbPipe*> fresh;
    for (const auto& endpoint : endpoints) {
        auto* pipe = new FxUsbPipe(this, endpoint, index);
        NTSTATUS status = pipe->attach(nullptr, this);
        if (!NT_SUCCESS(status)) {
            pipe->release();
            return status;
        }
        fresh.push_back(pipe);
    }
    std::lock_guard lock(lock_);
    pipes_ = std::move(fresh);
    return STATUS_SUCCESS;
}

FxUsbDevice::FxUsbDevice(std::shared_ptr<UsbPort> port)
    : FxObject(kmdf::FxType::UsbDevice),
      port_(std::move(port)),
      clock_(&Machine::current().clock()),
      deviceDescriptor_(port_->model().device_descriptor()),
      configuration_(port_->model().configuration_descriptor()) {}

NTSTATUS FxUsbDevice::build_interfaces() {
    if (configuration_.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return STATUS_SUCCESS;
    // Interfaces in the order their first setting appears; settings in descriptor order.
    std::vector<UCHAR> order;
    std::map<UCHAR, std::vector<size_t>> settings;
    const uint8_t* base = configuration_.data();
    size_t total = std::min<size_t>(configuration_.size(),
                                    reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(base)->wTotalLength);
    size_t offset = base[0];
    while (offset + 2 <= total && base[offset] >= 2 && offset + base[offset] <= total) {
        if (base[offset + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && base[offset] >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            UCHAR number = base[offset + 2];
            if (settings.count(number) == 0) order.push_back(number);
            settings[number].push_back(offset);
        }
        offset += base[offset];
    }
    for (UCHAR number : order) {
        auto* fx = new FxUsbInterface(this, number, settings[number]);
        NTSTATUS status = fx->attach(nullptr, this);
        if (!NT_SUCCESS(status)) {
            fx->release();
            return status;
        }
        interfaces_.push_back(fx);
    }
    return STATUS_SUCCESS;
}

}  // namespace platform::usb

using namespace platform::usb;

NTSTATUS WdfUsbTargetDeviceCreateWithParameters(WDFDEVICE device, WDF_USB_DEVICE_CREATE_CONFIG* config,
                                                PWDF_OBJECT_ATTRIBUTES attributes, WDFUSBDEVICE* usbDevice) {
    platform::require_passive("WdfUsbTargetDeviceCreateWithParameters");
    auto* fxDevice = platform::kmdf::object_of<platform::kmdf::FxDevice>(device, "WdfUsbTargetDeviceCreateWithParameters");
    if (fxDevice == nullptr || config == nullptr || usbDevice == nullptr ||
        config->Size != sizeof(WDF_USB_DEVICE_CREATE_CONFIG)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (config->USBDClientContractVersion != USBD_CLIENT_CONTRACT_VERSION_602 &&
        config->USBDClientContractVersion != 0x500) {
        return STATUS_INVALID_PARAMETER;
    }
    if (auto status = platform::fault::hit("WdfUsbTargetDeviceCreateWithParameters")) return *status;
    auto* node = dynamic_cast<platform::DevNode*>(fxDevice->pdo() != nullptr ? fxDevice->pdo()->Handler : nullptr);
    if (node == nullptr || port_of(*node) == nullptr) return STATUS_NOT_SUPPORTED;  // not a USB device
    auto port = std::static_pointer_cast<UsbPort>(node->bus);
    if (!port->connected()) return STATUS_NO_SUCH_DEVICE;
    auto* fx = new FxUsbDevice(port);
    NTSTATUS status = fx->attach(attributes, fxDevice);
    if (NT_SUCCESS(status)) status = fx->build_interfaces();
    if (!NT_SUCCESS(status)) {
        fx->delete_object();
        return status;
    }
    *usbDevice = fx->as_handle<WDFUSBDEVICE>();
    return STATUS_SUCCESS;
}

void WdfUsbTargetDeviceGetDeviceDescriptor(WDFUSBDEVICE usbDevice, USB_DEVICE_DESCRIPTOR* descriptor) {
    if (FxUsbDevice* fx = platform::kmdf::object_of<FxUsbDevice>(usbDevice, "WdfUsbTargetDeviceGetDeviceDescriptor")) {
        *descriptor = fx->device_descriptor();
    }
}

NTSTATUS WdfUsbTargetDeviceRetrieveConfigDescriptor(WDFUSBDEVICE usbDevice, PVOID buffer, USHORT* length) {
    FxUsbDevice* fx = platform::kmdf::object_of<FxUsbDevice>(usbDevice, "WdfUsbTargetDeviceRetrieveConfigDescriptor");
    if (fx == nullptr || length == nullptr) return STATUS_INVALID_PARAMETER;
    if (auto status = platform::fault::hit("WdfUsbTargetDeviceRetrieveConfigDescriptor")) return *status;
    auto size = static_cast<USHORT>(fx->configuration().size());
    if (buffer == nullptr || *length < size) {
        *length = size;
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(buffer, fx->configuration().data(), size);
    *length = size;
    return STATUS_SUCCESS;
}

NTSTATUS WdfUsbTargetDeviceRetrieveInformation(WDFUSBDEVICE usbDevice, WDF_USB_DEVICE_INFORMATION* information) {
    FxUsbDevice* fx = platform::kmdf::object_of<FxUsbDevice>(usbDevice, "WdfUsbTargetDeviceRetrieveInformation");
    if (fx == nullptr || information == nullptr || information->Size != sizeof(WDF_USB_DEVICE_INFORMATION)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (auto status = platform::fault::hit("WdfUsbTargetDeviceRetrieveInformation")) return *status;
    information->UsbdVersionInformation.USBDI_Version = 0x600;
    information->UsbdVersionInformation.Supported_USB_Version = 0x200;
    information->HcdPortCapabilities = 0;
    information->Traits = 0;
    if (fx->port().model().speed() == UsbSpeed::High) information->Traits |= WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED;
    const auto& config = fx->configuration();
    if (config.size() >= sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        UCHAR attributes = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(config.data())->bmAttributes;
        if (attributes & 0x40) information->Traits |= WDF_USB_DEVICE_TRAIT_SELF_POWERED;
        if (attributes & 0x20) information->Traits |= WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE;
    }
    return STATUS_SUCCESS;
}

WDFUSBINTERFACE WdfUsbTargetDeviceGetInterface(WDFUSBDEVICE usbDevice, UCHAR interfaceIndex) {
    FxUsbDevice* fx = platform::kmdf::object_of<FxUsbDevice>(usbDevice, "WdfUsbTargetDeviceGetInterface");
    if (fx == nullptr || interfaceIndex >= fx->interfaces().size()) return nullptr;
    return fx->interfaces()[interfaceIndex]->as_handle<WDFUSBINTERFACE>();
}

NTSTATUS WdfUsbTargetDeviceSelectConfig(WDFUSBDEVICE usbDevice, PWDF_OBJECT_ATTRIBUTES,
                                        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS* params) {
    platform::require_passive("WdfUsbTargetDeviceSelectConfig");
    FxUsbDevice* fx = platform::kmdf::object_of<FxUsbDevice>(usbDevice, "WdfUsbTargetDeviceSelectConfig");
    if (fx == nullptr || params == nullptr || params->Size != sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (params->Type != WdfUsbTargetDeviceSelectConfigTypeMultiInterface &&
        params->Type != WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs) {
        return STATUS_NOT_SUPPORTED;
    }
    if (auto status = platform::fault::hit("WdfUsbTargetDeviceSelectConfig")) return *status;
    if (!fx->connected()) return STATUS_NO_SUCH_DEVICE;
    const auto& config = fx->configuration();
    if (config.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return STATUS_INVALID_PARAMETER;

    // Every interface starts at setting index 0; the pairs name other settings.
    std::map<FxUsbInterface*, UCHAR> chosen;
    for (FxUsbInterface* iface : fx->interfaces()) chosen[iface] = 0;
    if (params->Type == WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs) {
        auto& multi = params->Types.MultiInterface;
        if (multi.Pairs == nullptr) return STATUS_INVALID_PARAMETER;
        for (UCHAR i = 0; i < multi.NumberInterfaces; ++i) {
            FxUsbInterface* iface = platform::kmdf::object_of<FxUsbInterface>(
                multi.Pairs[i].UsbInterface, "WdfUsbTargetDeviceSelectConfig (pair)");
            if (iface == nullptr || iface->device() != fx || multi.Pairs[i].SettingIndex >= iface->setting_count()) {
                return STATUS_INVALID_PARAMETER;
            }
            chosen[iface] = multi.Pairs[i].SettingIndex;
        }
    }
    UCHAR value = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(config.data())->bConfigurationValue;
    NTSTATUS status = fx->port().model().set_configuration(value);
    if (!NT_SUCCESS(status)) return status;
    UCHAR configured = 0;
    for (FxUsbInterface* iface : fx->interfaces()) {
        UCHAR index = chosen[iface];
        status = iface->configure(index, index != 0);
        if (!NT_SUCCESS(status)) return status;
        ++configured;
    }
    params->Types.MultiInterface.NumberOfConfiguredInterfaces = configured;
    return STATUS_SUCCESS;
}

UCHAR WdfUsbInterfaceGetConfiguredSettingIndex(WDFUSBINTERFACE usbInterface) {
    FxUsbInterface* fx = platform::kmdf::object_of<FxUsbInterface>(usbInterface, "WdfUsbInterfaceGetConfiguredSettingIndex");
    return fx == nullptr ? 0 : fx->configured_setting();
}

UCHAR WdfUsbInterfaceGetNumConfiguredPipes(WDFUSBINTERFACE usbInterface) {
    FxUsbInterface* fx = platform::kmdf::object_of<FxUsbInterface>(usbInterface, "WdfUsbInterfaceGetNumConfiguredPipes");
    return fx == nullptr ? 0 : static_cast<UCHAR>(fx->pipes().size());
}

void WdfUsbInterfaceGetDescriptor(WDFUSBINTERFACE usbInterface, UCHAR settingIndex,
                                  USB_INTERFACE_DESCRIPTOR* descriptor) {
    FxUsbInterface* fx = platform::kmdf::object_of<FxUsbInterface>(usbInterface, "WdfUsbInterfaceGetDescriptor");
    if (fx == nullptr || descriptor == nullptr) return;
    const USB_INTERFACE_DESCRIPTOR* found = fx->setting(settingIndex);
    if (found == nullptr) {
        std::memset(descriptor, 0, sizeof(*descriptor));
        return;
    }
    std::memcpy(descriptor, found, sizeof(*descriptor));
}

WDFUSBPIPE WdfUsbInterfaceGetConfiguredPipe(WDFUSBINTERFACE usbInterface, UCHAR pipeIndex,
                                            WDF_USB_PIPE_INFORMATION* information) {
    FxUsbInterface* fx = platform::kmdf::object_of<FxUsbInterface>(usbInterface, "WdfUsbInterfaceGetConfiguredPipe");
    if (fx == nullptr) return nullptr;
    auto pipes = fx->pipes();
    if (pipeIndex >= pipes.size()) return nullptr;
    if (information != nullptr) *information = pipes[pipeIndex]->information();
    return pipes[pipeIndex]->as_handle<WDFUSBPIPE>();
}

// PDOs a bus driver creates from its child list: the identifiers and text
// set on the init record, the id queries and properties the PnP manager
// reads, the power capabilities, and the parent.
#include "fx_pdo.h"

#include "platform/kernel/fault.h"
#include "platform/kernel/rules.h"

using platform::kmdf::object_of;

namespace platform::kmdf {
namespace {

constexpr ULONG kIdTag = 0x64496446;  // "FdId"

// A pool copy of `text` (which carries its own terminating NULs) for an id query's answer.
ULONG_PTR PoolString(const std::u16string& text) {
    auto* block = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, (text.size() + 1) * sizeof(WCHAR), kIdTag));
    if (block == nullptr) return 0;
    std::memcpy(block, text.data(), text.size() * sizeof(WCHAR));
    block[text.size()] = 0;
    return reinterpret_cast<ULONG_PTR>(block);
}

FxPdoInit* PdoInit(WDFDEVICE_INIT* init, const char* call) {
    if (init == nullptr || init->pdoInit == nullptr) {
        rule_violation("WDF PDO", std::string(call) + " on a device-init record that is no child's");
        return nullptr;
    }
    return init->pdoInit;
}

std::u16string Text(PCUNICODE_STRING text) { return text != nullptr ? std::u16string(view(*text)) : u""; }

}  // namespace

FxPdo::FxPdo(WDFDEVICE_INIT* init, DEVICE_OBJECT* self)
    : FxDevice(init, self), parent_(init->pdoInit->parent), list_(init->pdoInit->list), ids_(*init->pdoInit) {
    ids_.created = nullptr;
    list_->add_reference();  // told of the removal even when the bus went first
    WDF_DEVICE_POWER_CAPABILITIES_INIT(&powerCaps_);
}

void FxPdo::destroy() {
    FxChildList* list = list_;
    FxDevice::destroy();
    list->release();
}

void FxPdo::set_power_capabilities(const WDF_DEVICE_POWER_CAPABILITIES& caps) {
    std::lock_guard lock(capsLock_);
    powerCaps_ = caps;
}

NTSTATUS FxPdo::query_id(IRP* irp) {
    std::u16string answer;
    switch (irp->Stack.Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
            answer = ids_.deviceId;
            break;
        case BusQueryInstanceID:
            answer = ids_.instanceId;
            break;
        case BusQueryHardwareIDs:
            for (const auto& id : ids_.hardwareIds) answer += id + u'\0';
            break;
        default:
            return irp->IoStatus.Status;
    }
    if (answer.empty()) return irp->IoStatus.Status;
    ULONG_PTR block = PoolString(answer);
    if (block == 0) return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Information = block;
    return STATUS_SUCCESS;
}

NTSTATUS FxPdo::dispatch_irp(DEVICE_OBJECT* device, IRP* irp) {
    if (irp->Stack.MajorFunction == IRP_MJ_PNP && irp->Stack.MinorFunction == IRP_MN_QUERY_ID) {
        NTSTATUS status = query_id(irp);
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    return FxDevice::dispatch_irp(device, irp);
}

std::u16string FxPdo::device_property(DEVICE_OBJECT*, DEVICE_REGISTRY_PROPERTY property) {
    const FxPdoInit::Text* text = nullptr;
    for (const auto& t : ids_.texts) {
        if (text == nullptr || t.locale == ids_.defaultLocale) text = &t;
    }
    switch (property) {
        case DevicePropertyHardwareID: {
            std::u16string list;
            for (const auto& id : ids_.hardwareIds) list += id + u'\0';
            return list.empty() ? list : list + u'\0';
        }
        case DevicePropertyDeviceDescription:
            return text != nullptr ? text->description : u"";
        case DevicePropertyLocationInformation:
            return text != nullptr ? text->location : u"";
    }
    return {};
}

NTSTATUS FxPdo::start() {
    taken_.store(true, std::memory_order_release);
    return FxDevice::start();
}

void FxPdo::remove() {
    if (removed_) return;
    removed_ = true;
    // The list forgets it first: the removal below may free it.
    list_->pdo_removed(this);
    FxDevice::remove();
}

}  // namespace platform::kmdf

using platform::kmdf::FxDevice;
using platform::kmdf::FxPdo;
using platform::kmdf::FxPdoInit;

NTSTATUS WdfPdoInitAssignDeviceID(WDFDEVICE_INIT* init, PCUNICODE_STRING deviceId) {
    platform::require_passive("WdfPdoInitAssignDeviceID");
    FxPdoInit* pdo = platform::kmdf::PdoInit(init, "WdfPdoInitAssignDeviceID");
    if (pdo == nullptr || deviceId == nullptr || deviceId->Length == 0) return STATUS_INVALID_PARAMETER;
    if (auto status = platform::fault::hit("WdfPdoInitAssignDeviceID")) return *status;
    pdo->deviceId = platform::kmdf::Text(deviceId);
    return STATUS_SUCCESS;
}

NTSTATUS WdfPdoInitAddHardwareID(WDFDEVICE_INIT* init, PCUNICODE_STRING hardwareId) {
    platform::require_passive("WdfPdoInitAddHardwareID");
    FxPdoInit* pdo = platform::kmdf::PdoInit(init, "WdfPdoInitAddHardwareID");
    if (pdo == nullptr || hardwareId == nullptr || hardwareId->Length == 0) return STATUS_INVALID_PARAMETER;
    if (auto status = platform::fault::hit("WdfPdoInitAddHardwareID")) return *status;
    pdo->hardwareIds.push_back(platform::kmdf::Text(hardwareId));
    return STATUS_SUCCESS;
}

NTSTATUS WdfPdoInitAssignInstanceID(WDFDEVICE_INIT* init, PCUNICODE_STRING instanceId) {
    platform::require_passive("WdfPdoInitAssignInstanceID");
    FxPdoInit* pdo = platform::kmdf::PdoInit(init, "WdfPdoInitAssignInstanceID");
    if (pdo == nullptr || instanceId == nullptr || instanceId->Length == 0) return STATUS_INVALID_PARAMETER;
    if (auto status = platform::fault::hit("WdfPdoInitAssignInstanceID")) return *status;
    pdo->instanceId = platform::kmdf::Text(instanceId);
    return STATUS_SUCCESS;
}

NTSTATUS WdfPdoInitAddDeviceText(WDFDEVICE_INIT* init, PCUNICODE_STRING description, PCUNICODE_STRING location,
                                 ULONG localeId) {
    platform::require_passive("WdfPdoInitAddDeviceText");
    FxPdoInit* pdo = platform::kmdf::PdoInit(init, "WdfPdoInitAddDeviceText");
    if (pdo == nullptr || description == nullptr || location == nullptr) return STATUS_INVALID_PARAMETER;
    if (auto status = platform::fault::hit("WdfPdoInitAddDeviceText")) return *status;
    pdo->texts.push_back(FxPdoInit::Text{localeId, platform::kmdf::Text(description), platform::kmdf::Text(location)});
    return STATUS_SUCCESS;
}

void WdfPdoInitSetDefaultLocale(WDFDEVICE_INIT* init, ULONG localeId) {
    if (FxPdoInit* pdo = platform::kmdf::PdoInit(init, "WdfPdoInitSetDefaultLocale")) pdo->defaultLocale = localeId;
}

WDFDEVICE WdfPdoGetParent(WDFDEVICE device) {
    FxDevice* fx = object_of<FxDevice>(device, "WdfPdoGetParent");
    auto* pdo = dynamic_cast<FxPdo*>(fx);
    if (fx != nullptr && pdo == nullptr) {
        platform::rule_violation("WDF PDO", "WdfPdoGetParent on a device that is no PDO");
        return nullptr;
    }
    return pdo != nullptr ? pdo->parent()->as_handle<WDFDEVICE>() : nullptr;
}

void WdfDeviceSetPowerCapabilities(WDFDEVICE device, WDF_DEVICE_POWER_CAPABILITIES* capabilities) {
    FxDevice* fx = object_of<FxDevice>(device, "WdfDeviceSetPowerCapabilities");
    if (capabilities == nullptr) return;
    // Only a PDO reports capabilities to the PnP manager here; a function device's are not modelled.
    if (auto* pdo = dynamic_cast<FxPdo*>(fx)) pdo->set_power_capabilities(*capabilities);
}

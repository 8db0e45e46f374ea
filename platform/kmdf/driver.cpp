#include "fx_driver.h"

#include "platform/kernel/fault.h"
#include "platform/kernel/rules.h"
#include "platform/machine/driver_loader.h"

namespace platform::kmdf {

FxDriver::FxDriver(DRIVER_OBJECT* wdm, WDF_DRIVER_GLOBALS* globals, const WDF_DRIVER_CONFIG& config,
                   std::u16string registryPath)
    : FxObject(FxType::Driver), wdm_(wdm), globals_(globals), config_(config), registryPath_(std::move(registryPath)) {}

void FxDriver::unload() {
    if (config_.EvtDriverUnload != nullptr) config_.EvtDriverUnload(as_handle<WDFDRIVER>());
    delete_object();
}

void FxDriver::destroy() {
    if (globals_ != nullptr && globals_->Driver == as_handle<WDFDRIVER>()) globals_->Driver = nullptr;
    if (wdm_ != nullptr && wdm_->Platform != nullptr) wdm_->Platform->wdfDriver = nullptr;
}

NTSTATUS DriverCreate(WDF_DRIVER_GLOBALS* globals, PDRIVER_OBJECT driverObject, PCUNICODE_STRING registryPath,
                      PWDF_OBJECT_ATTRIBUTES attributes, WDF_DRIVER_CONFIG* config, WDFDRIVER* driver) {
    require_passive("WdfDriverCreate");
    if (driverObject == nullptr || config == nullptr || config->Size != sizeof(WDF_DRIVER_CONFIG)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (driverObject->Platform == nullptr || driverObject->Platform->wdfDriver != nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (auto status = fault::hit("WdfDriverCreate")) return *status;
    std::u16string path = registryPath != nullptr ? std::u16string(view(*registryPath)) : std::u16string();
    auto* fx = new FxDriver(driverObject, globals, *config, std::move(path));
    NTSTATUS status = fx->attach(attributes, nullptr);
    if (!NT_SUCCESS(status)) {
        fx->release();
        return status;
    }
    driverObject->Platform->wdfDriver = fx;
    globals->Driver = fx->as_handle<WDFDRIVER>();
    if (driver != nullptr) *driver = globals->Driver;
    return STATUS_SUCCESS;
}

}  // namespace platform::kmdf

PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER driver) {
    auto* fx = platform::kmdf::FxObject::from_as<platform::kmdf::FxDriver>(driver, platform::kmdf::FxType::Driver,
                                                                             "WdfDriverWdmGetDriverObject");
    return fx == nullptr ? nullptr : fx->wdm();
}

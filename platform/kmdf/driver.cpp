#include "fx_driver.h"

#include <map>
#include <mutex>

#include "fx_callback.h"
#include "fx_device.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/rules.h"

namespace platform::kmdf {
namespace {

std::mutex g_driversLock;
std::map<DRIVER_OBJECT*, FxDriver*> g_drivers;  // guarded by g_driversLock

// AddDevice: the framework's device-init record for EvtDriverDeviceAdd.
NTSTATUS FxAddDevice(DRIVER_OBJECT* wdm, DEVICE_OBJECT* pdo) {
    FxDriver* driver = FxDriver::of(wdm);
    if (driver == nullptr) return STATUS_INVALID_DEVICE_STATE;
    WDFDEVICE_INIT init;
    init.driver = driver;
    init.pdo = pdo;
    WDFDEVICE_INIT* pending = &init;
    // WdfDeviceCreate takes the init over (and clears the driver's pointer); the record is ours to free.
    return CallDriver("EvtDriverDeviceAdd",
                      [&] { return driver->config().EvtDriverDeviceAdd(driver->as_handle<WDFDRIVER>(), pending); });
}

void FxDriverUnload(DRIVER_OBJECT* wdm) {
    if (FxDriver* driver = FxDriver::of(wdm)) driver->unload();
}

// A failed DriverEntry: the framework deletes its driver object without the unload callback.
void FxDriverEntryFailed(DRIVER_OBJECT* wdm) {
    if (FxDriver* driver = FxDriver::of(wdm)) driver->delete_object();
}

}  // namespace

FxDriver* FxDriver::of(DRIVER_OBJECT* wdm) {
    std::lock_guard lock(g_driversLock);
    auto it = g_drivers.find(wdm);
    return it == g_drivers.end() ? nullptr : it->second;
}

FxDriver::FxDriver(DRIVER_OBJECT* wdm, WDF_DRIVER_GLOBALS* globals, const WDF_DRIVER_CONFIG& config,
                   std::u16string registryPath)
    : FxObject(FxType::Driver), wdm_(wdm), globals_(globals), config_(config), registryPath_(std::move(registryPath)) {}

void FxDriver::unload() {
    if (config_.EvtDriverUnload != nullptr) CallDriver("EvtDriverUnload", [&] { config_.EvtDriverUnload(as_handle<WDFDRIVER>()); });
    delete_object();
}

void FxDriver::destroy() {
    if (globals_ != nullptr && globals_->Driver == as_handle<WDFDRIVER>()) globals_->Driver = nullptr;
    std::lock_guard lock(g_driversLock);
    auto it = g_drivers.find(wdm_);
    if (it != g_drivers.end() && it->second == this) g_drivers.erase(it);
}

NTSTATUS DriverCreate(WDF_DRIVER_GLOBALS* globals, PDRIVER_OBJECT driverObject, PCUNICODE_STRING registryPath,
                      PWDF_OBJECT_ATTRIBUTES attributes, WDF_DRIVER_CONFIG* config, WDFDRIVER* driver) {
    require_passive("WdfDriverCreate");
    if (driverObject == nullptr || config == nullptr || config->Size != sizeof(WDF_DRIVER_CONFIG)) {
        return STATUS_INVALID_PARAMETER;
    }
    // Only a driver object the loader made (with its extension), and only once.
    if (driverObject->DriverExtension == nullptr || FxDriver::of(driverObject) != nullptr) {
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
    {
        std::lock_guard lock(g_driversLock);
        g_drivers[driverObject] = fx;
    }
    if (config->EvtDriverDeviceAdd != nullptr) driverObject->DriverExtension->AddDevice = FxAddDevice;
    driverObject->DriverUnload = FxDriverUnload;
    driverObject->FrameworkEntryFailed = FxDriverEntryFailed;
    globals->Driver = fx->as_handle<WDFDRIVER>();
    if (driver != nullptr) *driver = globals->Driver;
    return STATUS_SUCCESS;
}

}  // namespace platform::kmdf

PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER driver) {
    auto* fx = platform::kmdf::object_of<platform::kmdf::FxDriver>(driver, "WdfDriverWdmGetDriverObject");
    return fx == nullptr ? nullptr : fx->wdm();
}

#include "driver_loader.h"

#include <dlfcn.h>

#include <cstdio>

#include "machine.h"
#include "platform/kernel/ntstatus.h"
#include "registry.h"

namespace platform {
namespace {

using DriverEntryFn = NTSTATUS (*)(PDRIVER_OBJECT, PUNICODE_STRING);

std::u16string ServiceKey(const std::string& service) { return std::u16string(kServicesKey) + u"\\" + widen(service); }

}  // namespace

DriverLoader::~DriverLoader() { unload_all(); }

void DriverLoader::install(const std::string& service, const std::filesystem::path& image) {
    Registry& registry = Machine::current().registry();
    std::u16string key = ServiceKey(service);
    registry.set(key, u"ImagePath", RegValue::string(widen(image.string())));
    registry.set(key, u"Type", RegValue::dword(1));   // kernel driver
    registry.set(key, u"Start", RegValue::dword(3));  // demand start
    registry.create_key(key + u"\\Parameters");
}

void DriverLoader::install_builtin(const std::string& service, EntryPoint entry) {
    install(service, std::filesystem::read_symlink("/proc/self/exe"));
    std::lock_guard lock(lock_);
    builtin_[service] = entry;
}

LoadedDriver* DriverLoader::load(const std::string& service, NTSTATUS* status) {
    std::unique_lock lock(lock_);
    unloaded_.wait(lock, [&] { return !unloading_.contains(service); });
    if (auto it = loaded_.find(service); it != loaded_.end()) {
        // A new device comes for it: a driver waiting to unload stays.
        it->second->unloadPending = false;
        *status = STATUS_SUCCESS;
        return it->second.get();
    }
    auto imagePath = Machine::current().registry().get(ServiceKey(service), u"ImagePath");
    std::optional<std::u16string> image = imagePath ? imagePath->as_string() : std::nullopt;
    if (!image) {
        *status = STATUS_OBJECT_NAME_NOT_FOUND;
        return nullptr;
    }
    auto driver = std::make_unique<LoadedDriver>();
    driver->service = service;
    driver->image = narrow(*image);
    DriverEntryFn entry = nullptr;
    if (auto builtin = builtin_.find(service); builtin != builtin_.end()) {
        entry = builtin->second;
    } else {
        driver->module = dlopen(driver->image.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (driver->module == nullptr) {
            std::fprintf(stderr, "driver %s: cannot load %s: %s\n", service.c_str(), driver->image.c_str(), dlerror());
            *status = STATUS_OBJECT_NAME_NOT_FOUND;
            return nullptr;
        }
        entry = reinterpret_cast<DriverEntryFn>(dlsym(driver->module, "DriverEntry"));
        if (entry == nullptr) {
            dlclose(driver->module);
            *status = STATUS_INVALID_IMAGE_FORMAT;
            return nullptr;
        }
    }
    driver->registryPath = ServiceKey(service);
    driver->driverName = u"\\Driver\\" + widen(service);
    driver->registryPathString = UNICODE_STRING{static_cast<USHORT>(driver->registryPath.size() * 2),
                                                static_cast<USHORT>(driver->registryPath.size() * 2),
                                                driver->registryPath.data()};
    driver->object.Type = IO_TYPE_DRIVER;
    driver->object.Size = sizeof(DRIVER_OBJECT);
    driver->object.DriverName = UNICODE_STRING{static_cast<USHORT>(driver->driverName.size() * 2),
                                               static_cast<USHORT>(driver->driverName.size() * 2),
                                               driver->driverName.data()};
    driver->object.DriverSection = driver.get();
    driver->extension.DriverObject = &driver->object;
    driver->object.DriverExtension = &driver->extension;

    NTSTATUS result = entry(&driver->object, &driver->registryPathString);
    if (!NT_SUCCESS(result)) {
        // A failed DriverEntry leaves nothing behind that the framework must clean up.
        if (driver->object.FrameworkEntryFailed != nullptr) driver->object.FrameworkEntryFailed(&driver->object);
        if (driver->module != nullptr) dlclose(driver->module);
        *status = result;
        return nullptr;
    }
    *status = STATUS_SUCCESS;
    LoadedDriver* raw = driver.get();
    loaded_[service] = std::move(driver);
    return raw;
}

LoadedDriver* DriverLoader::find(const std::string& service) {
    std::lock_guard lock(lock_);
    auto it = loaded_.find(service);
    return it == loaded_.end() ? nullptr : it->second.get();
}

void DriverLoader::unload(const std::string& service) {
    std::unique_ptr<LoadedDriver> driver;
    {
        std::lock_guard lock(lock_);
        auto it = loaded_.find(service);
        if (it == loaded_.end()) return;
        driver = std::move(it->second);
        loaded_.erase(it);
        unloading_.insert(service);
    }
    finish_unload(std::move(driver));
}

namespace {

bool HasDeviceObjects(const LoadedDriver& driver) {
    return __atomic_load_n(&driver.object.DeviceObject, __ATOMIC_ACQUIRE) != nullptr;
}

}  // namespace

void DriverLoader::unload_when_idle(const std::string& service) {
    {
        std::lock_guard lock(lock_);
        auto it = loaded_.find(service);
        if (it == loaded_.end()) return;
        it->second->unloadPending = true;
    }
    // A device object that went meanwhile found no unload waiting: look again now.
    unload_if_idle(service);
}

void DriverLoader::unload_if_idle(const std::string& service) {
    std::unique_ptr<LoadedDriver> driver;
    {
        std::lock_guard lock(lock_);
        auto it = loaded_.find(service);
        if (it == loaded_.end() || !it->second->unloadPending || HasDeviceObjects(*it->second)) return;
        driver = std::move(it->second);
        loaded_.erase(it);
        unloading_.insert(service);
    }
    finish_unload(std::move(driver));
}

void DriverLoader::finish_unload(std::unique_ptr<LoadedDriver> driver) {
    if (driver->object.DriverUnload != nullptr) driver->object.DriverUnload(&driver->object);
    if (driver->module != nullptr) dlclose(driver->module);
    {
        std::lock_guard lock(lock_);
        unloading_.erase(driver->service);
    }
    unloaded_.notify_all();
}

void DriverLoader::unload_all() {
    for (;;) {
        std::string service;
        {
            std::lock_guard lock(lock_);
            if (loaded_.empty()) return;
            service = loaded_.begin()->first;
        }
        unload(service);
    }
}

}  // namespace platform

// Loads driver images by their service entry in the registry
// (`Services\<name>\ImagePath`), calls DriverEntry, and unloads them again
// through the driver object's unload routine.
#pragma once

#include <filesystem>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "platform/kernel/io.h"

namespace platform {

struct LoadedDriver {
    std::string service;
    std::filesystem::path image;
    void* module = nullptr;                // dlopen handle
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string registryPath;          // \Registry\Machine\System\CurrentControlSet\Services\<name>
    std::u16string driverName;            // \Driver\<name>
    UNICODE_STRING registryPathString{};
    // Its devices were removed while some were still referenced (an open
    // file): it unloads when the last goes. Guarded by the loader's lock.
    bool unloadPending = false;
};

class DriverLoader {
public:
    ~DriverLoader();

    using EntryPoint = NTSTATUS (*)(PDRIVER_OBJECT, PUNICODE_STRING);

    // The loader's record behind a driver object it made.
    static LoadedDriver* of(DRIVER_OBJECT* object) { return static_cast<LoadedDriver*>(object->DriverSection); }

    // Installs a service: writes its key with ImagePath into the registry.
    void install(const std::string& service, const std::filesystem::path& image);
    // Installs a driver linked into this program (a test that links a driver
    // directly): its entry is called instead of loading an image, and its
    // message table is read from this program's own file.
    void install_builtin(const std::string& service, EntryPoint entry);
    // Loads the service's image and runs DriverEntry; null with the status on
    // failure. Waits for an unload of the same service still running (on a
    // worker): a new instance starts only once the old one's unload routine
    // has returned, as on Windows, so the two never share the image's globals.
    LoadedDriver* load(const std::string& service, NTSTATUS* status);
    LoadedDriver* find(const std::string& service);
    // The driver's unload routine, then the image goes.
    void unload(const std::string& service);
    // Unloads the service's driver once it has no device objects left: now,
    // or when its last (removed, still referenced) device object goes.
    void unload_when_idle(const std::string& service);
    // Unloads the service's driver if it waits for that and has no device objects left.
    void unload_if_idle(const std::string& service);
    void unload_all();

private:
    std::mutex lock_;
    std::map<std::string, std::unique_ptr<LoadedDriver>> loaded_;  // guarded by lock_
    std::map<std::string, EntryPoint> builtin_;                     // guarded by lock_
    std::set<std::string> unloading_;                               // guarded by lock_: taken out, unload running
    std::condition_variable unloaded_;                              // an unload of unloading_ has finished

    // Runs the unload of a driver taken out of the list (and named in
    // unloading_) under lock_, then lets a load of its service go on.
    void finish_unload(std::unique_ptr<LoadedDriver> driver);
};

}  // namespace platform

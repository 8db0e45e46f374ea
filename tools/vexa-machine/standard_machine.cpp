#include "standard_machine.h"

#include <unistd.h>

#include <cstdlib>

#include "platform/kernel/pnp_notify.h"
#include "platform/machine/driver_loader.h"
#include "platform/machine/installed_files.h"
#include "platform/machine/pnp_children.h"
#include "platform/usb/usb_port.h"
#include "platform/win32/objbase.h"
#include "platform/win32/user_process.h"
#include "platform/win32/windows.h"
#include "tools/doubles/midi_double.h"
#include "tools/doubles/wdm_double.h"

namespace vexa::machine {

std::filesystem::path default_driver_dir() {
    if (const char* dir = std::getenv("VEXA_DRIVER_DIR"); dir != nullptr && *dir != 0) return dir;
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return "lib";
    return self.parent_path().parent_path() / "lib";
}

std::filesystem::path default_state_dir() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != 0) return std::filesystem::path(home) / ".local" / "state" / "vexa-machine";
    return std::filesystem::temp_directory_path() / ("vexa-machine-" + std::to_string(getuid()));
}

void install_user_mode_files(platform::Machine& machine, const std::filesystem::path& driverDir) {
    auto& files = machine.attachment<platform::InstalledFiles>();
    files.install(kAsioModulePath, driverDir / "QUVVexaUSBAsio64.so");
    files.install(kControlPanelPath, driverDir.parent_path() / "bin" / "QUVVexaUSB");
}

AsioRegistration register_asio_driver(platform::Machine& machine) {
    auto installed = machine.attachment<platform::InstalledFiles>().find(kAsioModulePath);
    std::error_code error;
    if (!installed || !std::filesystem::exists(installed->file, error)) return AsioRegistration::NotBuilt;
    // The installer is a process of its own, as regsvr32 is.
    auto installer = platform::win32::create_local_process(false, "regsvr32");
    AsioRegistration result = AsioRegistration::Failed;
    {
        platform::win32::ScopedProcess as(installer);
        HMODULE module = LoadLibraryW(kAsioModulePath);
        if (module != nullptr) {
            auto entry = reinterpret_cast<HRESULT (*)()>(GetProcAddress(module, "DllRegisterServer"));
            if (entry != nullptr && entry() == 0) result = AsioRegistration::Registered;
            FreeLibrary(module);
        }
    }
    installer->end();
    return result;
}

platform::DevNode* boot_standard_machine(platform::Machine& machine, const std::filesystem::path& driverDir,
                                         const std::filesystem::path& usbDriverDir,
                                         const std::filesystem::path& doublesDir, AsioRegistration* asio) {
    std::filesystem::path usbImage = (usbDriverDir.empty() ? driverDir : usbDriverDir) / (std::string(kUsbService) + ".so");
    if (std::filesystem::exists(usbImage)) machine.drivers().install(kUsbService, usbImage);
    // The children's outside drivers: the MIDI drivers and the WDM audio driver.
    const struct {
        const char* service;
        const char16_t* hardwareId;
    } doubles[] = {{vexa::doubles::kMidiInService, vexa::doubles::kMidiInHardwareId},
                   {vexa::doubles::kMidiOutService, vexa::doubles::kMidiOutHardwareId},
                   {vexa::doubles::kWdmService, vexa::doubles::kWdmHardwareId}};
    for (const auto& d : doubles) {
        std::filesystem::path image = doublesDir / (std::string(d.service) + ".so");
        if (doublesDir.empty() || !std::filesystem::exists(image)) continue;
        machine.drivers().install(d.service, image);
        platform::register_driver_match(d.hardwareId, d.service);
    }
    machine.drivers().install(kRootService, driverDir / (std::string(kRootService) + ".so"));
    install_user_mode_files(machine, driverDir);
    AsioRegistration registered = register_asio_driver(machine);
    if (asio != nullptr) *asio = registered;
    platform::DevNode* root = machine.pnp().add_node(kRootInstanceId, {kRootHardwareId}, kRootService);
    platform::wait_for_pnp_idle();
    return root;
}

std::optional<platform::device::VexaModel> model_by_name(const std::string& name) {
    if (name == "cantile-qe") return platform::device::VexaModel::CantileQe;
    if (name == "cantile-qk") return platform::device::VexaModel::CantileQk;
    return std::nullopt;
}

std::string model_name(platform::device::VexaModel model) {
    return model == platform::device::VexaModel::CantileQe ? "cantile-qe" : "cantile-qk";
}

const SimulatedPorts::Port& SimulatedPorts::plug(platform::device::VexaModel model,
                                                 const std::function<void(platform::device::VexaInterface&)>& before) {
    unsigned number = nextNumber_++;
    auto device = platform::device::make_vexa_interface(model, {}, number);
    if (before) before(*device);
    std::string digits = std::to_string(10000 + number % 10000).substr(1);
    std::u16string instance(digits.begin(), digits.end());
    platform::DevNode* node = platform::usb::plug(device, kUsbService, instance);
    // The root driver binds on its notification worker and its children are
    // enumerated after; let both finish.
    platform::wait_for_pnp_idle();
    ports_.push_back(Port{number, model, std::move(device), node});
    return ports_.back();
}

bool SimulatedPorts::unplug(unsigned number) {
    for (auto it = ports_.begin(); it != ports_.end(); ++it) {
        if (it->number != number) continue;
        platform::usb::unplug(*it->node);
        platform::wait_for_pnp_idle();
        ports_.erase(it);
        return true;
    }
    return false;
}

}  // namespace vexa::machine

// "The standard machine": the simulated machine with the system's drivers
// installed and the root driver's software-enumerated node added, as
// vexa-machine boots it and as the tests boot it, and the simulated VEXA
// interfaces a person or a test plugs into it.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/device/vexa_interface.h"
#include "platform/machine/machine.h"
#include "platform/machine/pnp_manager.h"

namespace vexa::machine {

inline constexpr const char* kRootService = "QUVVexaUSBRoot";
inline constexpr const char* kUsbService = "QUVVexaUSBDevice";
inline constexpr const char16_t* kRootInstanceId = u"ROOT\\QUVVexaUSBRoot\\0000";
inline constexpr const char16_t* kRootHardwareId = u"ROOT\\QUVVexaUSBRoot";

// Where user mode finds the system's built programs and modules on the
// machine: the ASIO driver's DLL and the control panel's program.
inline constexpr const char16_t* kAsioModulePath = u"C:\\Windows\\System32\\QUVVexaUSBAsio64.dll";
inline constexpr const char16_t* kControlPanelPath = u"C:\\Program Files\\QUVVexaUSB\\QUVVexaUSB.exe";

// Where the driver images are: VEXA_DRIVER_DIR when set, else `lib` beside
// the folder of the running program (the build's layout).
std::filesystem::path default_driver_dir();
// The folder vexa-machine keeps its registry and event log in by default.
std::filesystem::path default_state_dir();

// Installs the user-mode files at their Windows paths: the ASIO driver's
// module from `driverDir` and the control panel from the `bin` folder beside
// it (the build's layout). A file the build has not made yet is looked up
// when it is used, so LoadLibrary and ShellExecute then answer as Windows
// does for a missing file.
void install_user_mode_files(platform::Machine& machine, const std::filesystem::path& driverDir);

// What registering the ASIO driver came to.
enum class AsioRegistration {
    Registered,   // its DllRegisterServer succeeded
    NotBuilt,     // the module is not there to load (a build without it)
    Failed,       // it loaded but did not register (it said why in its message box)
};

// As an installer does (regsvr32): a process of the machine loads the ASIO
// driver's module from its installed path, calls its DllRegisterServer and
// lets it go, so HKLM\SOFTWARE\ASIO and the class's keys name it for hosts.
AsioRegistration register_asio_driver(platform::Machine& machine);

// Installs the drivers found in `driverDir` (the USB function driver from
// `usbDriverDir` when given; the stand-ins of the MIDI and WDM audio child
// drivers from `doublesDir`, only when given), names the services that serve
// the children's hardware ids, installs the user-mode files and registers the
// ASIO driver when it is built, and adds the root node (its driver loads and
// its device starts). Returns the root node; its state says whether the
// start succeeded.
platform::DevNode* boot_standard_machine(platform::Machine& machine, const std::filesystem::path& driverDir,
                                         const std::filesystem::path& usbDriverDir = {},
                                         const std::filesystem::path& doublesDir = {},
                                         AsioRegistration* asio = nullptr);

// "cantile-qe" or "cantile-qk"; nothing for any other name.
std::optional<platform::device::VexaModel> model_by_name(const std::string& name);
std::string model_name(platform::device::VexaModel model);

// The machine's USB ports, numbered from 1 in plugging order. Each plugged
// interface gets its own serial number.
class SimulatedPorts {
public:
    struct Port {
        unsigned number;
        platform::device::VexaModel model;
        std::shared_ptr<platform::device::VexaInterface> device;
        platform::DevNode* node;
    };

    // Plugs an interface in (`before` may set its knobs first); its driver
    // loads and the root driver binds before this returns. PASSIVE_LEVEL.
    const Port& plug(platform::device::VexaModel model,
                     const std::function<void(platform::device::VexaInterface&)>& before = nullptr);
    // Pulls port `number` out; false when nothing is plugged there.
    bool unplug(unsigned number);
    const std::vector<Port>& ports() const { return ports_; }

private:
    std::vector<Port> ports_;
    unsigned nextNumber_ = 1;
};

}  // namespace vexa::machine

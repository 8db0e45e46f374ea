// "The standard machine": the simulated machine with the system's drivers
// installed and the root driver's software-enumerated node added, as
// vexa-machine boots it and as the tests boot it.
#pragma once

#include <filesystem>
#include <string>

#include "platform/machine/machine.h"
#include "platform/machine/pnp_manager.h"

namespace vexa::machine {

inline constexpr const char* kRootService = "QUVVexaUSBRoot";
inline constexpr const char16_t* kRootInstanceId = u"ROOT\\QUVVexaUSBRoot\\0000";
inline constexpr const char16_t* kRootHardwareId = u"ROOT\\QUVVexaUSBRoot";

// Where the driver images are: VEXA_DRIVER_DIR when set, else `lib` beside
// the folder of the running program (the build's layout).
std::filesystem::path default_driver_dir();
// The folder vexa-machine keeps its registry and event log in by default.
std::filesystem::path default_state_dir();

// Installs the drivers found in `driverDir` and adds the root node (its
// driver loads and its device starts). Returns the root node; its state says
// whether the start succeeded.
platform::DevNode* boot_standard_machine(platform::Machine& machine, const std::filesystem::path& driverDir);

}  // namespace vexa::machine

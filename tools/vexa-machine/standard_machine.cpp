#include "standard_machine.h"

#include <unistd.h>

#include <cstdlib>

#include "platform/machine/driver_loader.h"

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

platform::DevNode* boot_standard_machine(platform::Machine& machine, const std::filesystem::path& driverDir) {
    machine.drivers().install(kRootService, driverDir / (std::string(kRootService) + ".so"));
    return machine.pnp().add_node(kRootInstanceId, {kRootHardwareId}, kRootService);
}

}  // namespace vexa::machine

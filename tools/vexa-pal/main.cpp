// vexa-pal: a client of the root driver's PAL interface in another process,
// built on the device-access library as the control panel is: its system
// finds and opens the interface, its bus reads the versions and the bus
// settings and sets the sample rate, the buffer size and the operation mode,
// and a watch prints a line per hook the library raises.
//
//   vexa-pal [--socket PATH] version|settings|watch
//   vexa-pal [--socket PATH] rate HZ|buffer-size FRAMES|mode N
//
// Exit status: 0 done; 1 a failure, said on standard error (no machine, no
// root driver, a setting the root driver kept, a watch whose connection
// failed); 2 usage.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/releases.h"
#include "pal_commands.h"
#include "pal_watch.h"
#include "platform/win32/user_process.h"

using namespace vexa::pal_tool;

namespace {

constexpr int kUsageError = 2;

int Usage() {
    std::fprintf(stderr,
                 "usage: vexa-pal [--socket PATH] version|settings|watch\n"
                 "       vexa-pal [--socket PATH] rate HZ|buffer-size FRAMES|mode N\n");
    return kUsageError;
}

struct Command {
    std::string name;
    const Setter* setter = nullptr;
    uint32_t value = 0;
};

// The command on the library's objects; whatever it opened is closed before it returns.
int Run(const Command& command) {
    hook_log log;
    mrak::vexa::reference<pal_system> system(new pal_system(&log), 0);
    int result = 1;
    if (command.name == "watch") {
        result = Watch(*system, log);
    } else {
        mrak::vexa::reference<pal_bus> bus;
        result = OpenBus(*system, &bus);
        if (result == 0) {
            result = command.setter != nullptr   ? Set(*bus, log, *command.setter, command.value)
                     : command.name == "version" ? Version(*bus)
                                                 : Settings(*bus);
        }
    }
    system->close();
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    std::string socketPath = platform::win32::default_socket_path();
    Command command;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--socket" && i + 1 < argc) {
            socketPath = argv[++i];
        } else if (command.name.empty() && (arg == "version" || arg == "settings" || arg == "watch")) {
            command.name = arg;
        } else if (command.name.empty() && FindSetter(arg) != nullptr && i + 1 < argc) {
            command.name = arg;
            command.setter = FindSetter(arg);
            char* end = nullptr;
            unsigned long parsed = std::strtoul(argv[++i], &end, 10);
            if (end == argv[i] || *end != 0 || parsed > UINT32_MAX) return Usage();
            command.value = static_cast<uint32_t>(parsed);
        } else {
            return Usage();
        }
    }
    if (command.name.empty()) return Usage();

    // Before any thread starts, so that every thread inherits it.
    if (command.name == "watch") BlockStopSignals();

    std::string error;
    auto process = platform::win32::connect_to_machine(socketPath, false, "vexa-pal", &error);
    if (!process) {
        std::fprintf(stderr, "vexa-pal: no machine is running at %s (%s); start one with vexa-machine\n",
                     socketPath.c_str(), error.c_str());
        return 1;
    }
    platform::win32::set_default_process(process);
    int result = Run(command);
    // What the library's threads still let go of uses the connection.
    mrak::vexa::wait_for_releases();
    platform::win32::set_default_process(nullptr);
    return result;
}

// vexa-machine: boots the simulated machine in real time with the system's
// drivers, and serves other programs over a Unix socket until SIGINT or
// SIGTERM, when it shuts down and saves the registry.
//
//   vexa-machine [--state DIR] [--socket PATH] [--device MODEL]...
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/machine/machine.h"
#include "platform/machine/pnp_manager.h"
#include "platform/machine/socket_server.h"
#include "platform/win32/user_process.h"
#include "standard_machine.h"

namespace {

constexpr int kUsageError = 2;

int Usage() {
    std::fprintf(stderr, "usage: vexa-machine [--state DIR] [--socket PATH] [--device MODEL]...\n");
    return kUsageError;
}

}  // namespace

int main(int argc, char** argv) {
    std::filesystem::path stateDir = vexa::machine::default_state_dir();
    std::string socketPath = platform::win32::default_socket_path();
    std::vector<std::string> devices;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            Usage();
            return 0;
        }
        if (i + 1 >= argc) return Usage();
        if (arg == "--state") {
            stateDir = argv[++i];
        } else if (arg == "--socket") {
            socketPath = argv[++i];
        } else if (arg == "--device") {
            devices.push_back(argv[++i]);
        } else {
            return Usage();
        }
    }

    // Every thread the machine starts inherits the blocked signals; main waits for them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(socketPath).parent_path(), ignored);

    platform::MachineOptions options;
    options.clockMode = platform::Clock::Mode::RealTime;
    options.stateDir = stateDir;
    platform::Machine machine(options);
    platform::DevNode* root = vexa::machine::boot_standard_machine(machine, vexa::machine::default_driver_dir());
    if (root->state != platform::NodeState::Started) {
        std::fprintf(stderr, "vexa-machine: the root driver did not start (status 0x%08X)\n",
                     static_cast<unsigned>(root->lastStatus));
        return 1;
    }
    for (const std::string& model : devices) {
        if (model == "none") continue;
        std::fprintf(stderr, "vexa-machine: simulated device model '%s' is not available yet; nothing plugged\n",
                     model.c_str());
    }

    platform::SocketServer server(socketPath, [](ULONG id, const std::string& name, bool running) {
        std::printf("vexa-machine: process %u (%s) %s\n", id, name.c_str(), running ? "connected" : "ended");
        std::fflush(stdout);
    });
    std::string error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "vexa-machine: cannot serve: %s\n", error.c_str());
        return 1;
    }
    std::printf("vexa-machine: ready on %s (state in %s)\n", socketPath.c_str(), stateDir.c_str());
    std::fflush(stdout);

    int received = 0;
    sigwait(&stopSignals, &received);
    std::printf("vexa-machine: %s, shutting down\n", received == SIGINT ? "interrupted" : "terminated");
    std::fflush(stdout);
    server.stop();
    machine.shutdown();
    return 0;
}

// vexa-machine: boots the simulated machine in real time with the system's
// drivers and the simulated interfaces named by --device plugged in (one
// Cantile-QE without the flag), and serves other programs over a Unix socket
// until SIGINT or SIGTERM, when it shuts down and saves the registry. On its
// standard input it takes "plug MODEL", "unplug N" (N the port number it
// printed when plugging), "midi PORT BYTE..." (sends the hex bytes out of
// MIDI port PORT of the current interface through the MIDI output child's
// driver, lets the interface loop them back, and prints what the MIDI input
// child's driver received), "tone [RATE [BITS [MS]]]" (the WDM audio
// driver's stand-in plays a 997 Hz tone into its render stream for MS
// milliseconds, 1000 by default, at RATE Hz, 48000 by default, with 16 or 24
// BITS, 24 by default; the interface loops it back, and the machine prints
// the level and latency of what the capture stream received and whether it
// is bit-exact) and "root remove" / "root add" (the root device goes, with
// its interfaces, and comes back at the same instance id).
//
// The simulated hardware keeps wall-clock time, so when the system lets it
// (root, or the real-time privilege) the machine runs in real-time
// scheduling, above the audio threads of the programs it serves;
// --no-real-time keeps it at normal scheduling.
//
//   vexa-machine [--state DIR] [--socket PATH] [--device cantile-qe|cantile-qk|none]... [--no-real-time]
#include <sched.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/machine/machine.h"
#include "platform/machine/pnp_children.h"
#include "platform/machine/pnp_manager.h"
#include "platform/machine/socket_server.h"
#include "platform/win32/user_process.h"
#include "midi_check.h"
#include "standard_machine.h"
#include "tone_check.h"

namespace {

constexpr int kUsageError = 2;
// Above an ASIO host's "Pro Audio" thread (a few steps over the lowest real-time priority).
constexpr int kRealTimePriority = 10;

int Usage() {
    std::fprintf(stderr,
                 "usage: vexa-machine [--state DIR] [--socket PATH] [--device cantile-qe|cantile-qk|none]... "
                 "[--no-real-time]\n"
                 "  standard input: plug cantile-qe|cantile-qk, unplug PORT, midi PORT BYTE..., tone [RATE [BITS [MS]]],\n"
                 "  root remove|add\n");
    return kUsageError;
}

void Say(const std::string& line) {
    std::printf("vexa-machine: %s\n", line.c_str());
    std::fflush(stdout);
}

// The USB ports, changed by the boot and by commands on standard input.
struct Ports {
    std::mutex lock;
    bool stopping = false;  // guarded by lock
    vexa::machine::SimulatedPorts ports;
    std::unique_ptr<vexa::machine::MidiCheck> midi;  // set before standard input is read
    std::unique_ptr<vexa::machine::ToneCheck> tone;  // set before standard input is read
    platform::Machine* machine = nullptr;            // set before standard input is read
    platform::DevNode* root = nullptr;               // guarded by lock; null while the root device is removed

    void plug(const std::string& name) {
        auto model = vexa::machine::model_by_name(name);
        if (!model) {
            Say("unknown model '" + name + "' (cantile-qe or cantile-qk)");
            return;
        }
        std::lock_guard hold(lock);
        if (stopping) return;
        const auto& port = ports.plug(*model);
        bool started = port.node->state == platform::NodeState::Started;
        Say("plugged " + name + " into port " + std::to_string(port.number) +
            (started ? "" : " (its driver did not start)"));
    }

    void unplug(const std::string& number) {
        unsigned port = 0;
        try {
            port = static_cast<unsigned>(std::stoul(number));
        } catch (const std::exception&) {
            Say("unplug needs a port number, not '" + number + "'");
            return;
        }
        std::lock_guard hold(lock);
        if (stopping) return;
        Say(ports.unplug(port) ? "unplugged port " + number : "nothing is plugged into port " + number);
    }

    void send_midi(const std::string& port, const std::vector<std::string>& words) {
        std::vector<uint8_t> bytes;
        unsigned number = 0;
        try {
            number = static_cast<unsigned>(std::stoul(port));
        } catch (const std::exception&) {
            number = 0;
        }
        if (number == 0 || !vexa::machine::ParseMidiBytes(words, &bytes)) {
            Say("midi needs a port number from 1 and hex bytes, as in 'midi 1 90 3c 64'");
            return;
        }
        std::lock_guard hold(lock);
        if (stopping) return;
        Say(midi->run(number, bytes));
    }

    void play_tone(const std::vector<std::string>& words) {
        unsigned long values[3] = {48000, 24, 1000};
        try {
            for (size_t i = 1; i < words.size() && i <= 3; ++i) values[i - 1] = std::stoul(words[i]);
        } catch (const std::exception&) {
            values[0] = 0;
        }
        constexpr unsigned long kMaxMs = 60000;
        if (words.size() > 4 || values[0] == 0 || (values[1] != 16 && values[1] != 24) || values[2] == 0 ||
            values[2] > kMaxMs) {
            Say("tone takes a rate, 16 or 24 bits and up to 60000 ms, as in 'tone 48000 24 1000'");
            return;
        }
        std::lock_guard hold(lock);
        if (stopping) return;
        Say(tone->run(static_cast<uint32_t>(values[0]), static_cast<uint32_t>(values[1]),
                      static_cast<unsigned>(values[2])));
    }

    // Removes the root device or adds it again; its driver sees its interfaces go and come.
    void change_root(const std::string& what) {
        std::lock_guard hold(lock);
        if (stopping) return;
        if (what == "remove" && root != nullptr) {
            machine->pnp().remove(*root);
            platform::wait_for_pnp_idle();
            root = nullptr;
            Say("removed the root device");
        } else if (what == "add" && root == nullptr) {
            root = machine->pnp().add_node(vexa::machine::kRootInstanceId, {vexa::machine::kRootHardwareId},
                                           vexa::machine::kRootService);
            platform::wait_for_pnp_idle();
            bool started = root->state == platform::NodeState::Started;
            Say(std::string("added the root device") + (started ? "" : " (its driver did not start)"));
        } else {
            Say(root != nullptr ? "the root device is there" : "the root device is removed");
        }
    }

    void run_command(const std::string& line) {
        std::istringstream stream(line);
        std::vector<std::string> words;
        for (std::string word; stream >> word;) words.push_back(word);
        if (words.empty()) return;
        const std::string& command = words[0];
        if (command == "plug" && words.size() == 2) {
            plug(words[1]);
        } else if (command == "unplug" && words.size() == 2) {
            unplug(words[1]);
        } else if (command == "midi" && words.size() >= 3) {
            send_midi(words[1], std::vector<std::string>(words.begin() + 2, words.end()));
        } else if (command == "tone") {
            play_tone(words);
        } else if (command == "root" && words.size() == 2) {
            change_root(words[1]);
        } else {
            Say("unknown command '" + line +
                "' (plug MODEL, unplug PORT, midi PORT BYTE..., tone [RATE [BITS [MS]]], root remove|add)");
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    std::filesystem::path stateDir = vexa::machine::default_state_dir();
    std::string socketPath = platform::win32::default_socket_path();
    std::vector<std::string> devices;
    bool deviceGiven = false;
    bool realTime = true;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            Usage();
            return 0;
        }
        if (arg == "--no-real-time") {
            realTime = false;
            continue;
        }
        if (i + 1 >= argc) return Usage();
        if (arg == "--state") {
            stateDir = argv[++i];
        } else if (arg == "--socket") {
            socketPath = argv[++i];
        } else if (arg == "--device") {
            deviceGiven = true;
            std::string model = argv[++i];
            if (model != "none" && !vexa::machine::model_by_name(model)) {
                std::fprintf(stderr, "vexa-machine: unknown model '%s' (cantile-qe, cantile-qk or none)\n",
                             model.c_str());
                return kUsageError;
            }
            if (model != "none") devices.push_back(model);
        } else {
            return Usage();
        }
    }

    // Every thread the machine starts inherits the scheduling and the blocked signals.
    bool inRealTime = false;
    if (realTime) {
        sched_param priority{};
        priority.sched_priority = kRealTimePriority;
        inRealTime = sched_setscheduler(0, SCHED_FIFO, &priority) == 0;
    }
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
    static Ports ports;  // outlives the detached reader of standard input
    ports.midi = std::make_unique<vexa::machine::MidiCheck>(vexa::machine::default_driver_dir());
    ports.tone = std::make_unique<vexa::machine::ToneCheck>(vexa::machine::default_driver_dir());
    platform::Machine machine(options);
    vexa::machine::AsioRegistration asio = vexa::machine::AsioRegistration::NotBuilt;
    platform::DevNode* root = vexa::machine::boot_standard_machine(machine, vexa::machine::default_driver_dir(), {},
                                                                   vexa::machine::default_driver_dir(), &asio);
    if (root->state != platform::NodeState::Started) {
        std::fprintf(stderr, "vexa-machine: the root driver did not start (status 0x%08X)\n",
                     static_cast<unsigned>(root->lastStatus));
        return 1;
    }
    ports.machine = &machine;
    ports.root = root;
    Say(inRealTime ? "running in real-time scheduling"
                   : realTime ? "running at normal scheduling (real time is not permitted here)"
                              : "running at normal scheduling");
    if (asio == vexa::machine::AsioRegistration::Registered) {
        Say("registered the ASIO driver \"ASIO QUV VEXA USB Platform\"");
    } else {
        Say(asio == vexa::machine::AsioRegistration::NotBuilt ? "the ASIO driver is not built: ASIO hosts find none"
                                                             : "registering the ASIO driver failed");
    }
    if (!deviceGiven) devices.push_back("cantile-qe");
    for (const std::string& model : devices) ports.plug(model);

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

    std::thread([] {
        std::string line;
        while (std::getline(std::cin, line)) ports.run_command(line);
    }).detach();

    int received = 0;
    sigwait(&stopSignals, &received);
    {
        std::lock_guard hold(ports.lock);
        ports.stopping = true;
    }
    std::printf("vexa-machine: %s, shutting down\n", received == SIGINT ? "interrupted" : "terminated");
    std::fflush(stdout);
    server.stop();
    machine.shutdown();
    return 0;
}

// Whole-system scenarios across processes: vexa-machine runs as its own
// program on a temporary socket and state folder; vexa-pal and this test
// (and a child process it kills) are its clients.
#include <gtest/gtest.h>

#include <map>

#include "support/program.h"
#include "support/root_machine.h"
#include "support/temp_dir.h"

namespace {

using namespace vexa::pal;
using namespace vexa::test;
using platform::win32::UserProcess;

class MachineTest : public ::testing::Test {
protected:
    // Without a device flag the machine plugs in one Cantile-QE.
    void start(bool withDevice, std::vector<std::string> deviceFlags = {}) {
        std::vector<std::string> args{VEXA_MACHINE_BIN, "--state", state(), "--socket", socket()};
        if (!withDevice) deviceFlags = {"--device", "none"};
        args.insert(args.end(), deviceFlags.begin(), deviceFlags.end());
        machine_ = std::make_unique<Program>(args, std::map<std::string, std::string>{}, true);
        ASSERT_TRUE(machine_->read_until("ready on")) << machine_->so_far();
    }
    std::string state() const { return (dir_.path() / "state").string(); }
    std::string socket() const { return (dir_.path() / "machine.sock").string(); }

    std::shared_ptr<UserProcess> connect(const std::string& name) {
        std::string error;
        auto process = platform::win32::connect_to_machine(socket(), false, name, &error);
        EXPECT_TRUE(process) << error;
        return process;
    }

    std::string pal(const std::string& command, const std::map<std::string, std::string>& env = {},
                    bool useFlag = true, int* exitCode = nullptr) {
        std::vector<std::string> args{VEXA_PAL_BIN};
        if (useFlag) args.insert(args.end(), {"--socket", socket()});
        args.push_back(command);
        Program tool(args, env);
        std::string out = tool.rest();
        int code = tool.wait_exit();
        if (exitCode != nullptr) *exitCode = code;
        return out;
    }

    TempDir dir_;
    std::unique_ptr<Program> machine_;
};

// vexa-pal in another process reads the version and the settings, by flag or by environment.
TEST_F(MachineTest, VexaPalTalksToTheMachine) {
    start(false);
    int code = -1;
    std::string version = pal("version", {}, true, &code);
    EXPECT_EQ(code, 0);
    EXPECT_NE(version.find("PAL interface version: 0x7001"), std::string::npos) << version;
    EXPECT_NE(version.find("driver version: 4.3.2.47999"), std::string::npos) << version;
    std::string settings = pal("settings", {{"VEXA_MACHINE_SOCKET", socket()}}, false, &code);
    EXPECT_EQ(code, 0);
    EXPECT_NE(settings.find("sample rate: 0 Hz"), std::string::npos) << settings;
    EXPECT_NE(settings.find("buffer size: 0 frames"), std::string::npos) << settings;
    EXPECT_NE(settings.find("current device: 0x0000000000000000 (none)"), std::string::npos) << settings;

    std::string none = pal("version", {{"VEXA_MACHINE_SOCKET", socket() + ".missing"}}, false, &code);
    EXPECT_EQ(code, 1) << "no machine is reported, not hung on";

    EXPECT_EQ(machine_->signal_and_wait(SIGTERM), 0);
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(state()) / "registry.dat"));
}

// Across processes: version, registration, a wait completed by another process's ASIO open, and a close with a wait pending.
TEST_F(MachineTest, ClientsInOtherProcessesWaitAndAreNotified) {
    start(true);
    auto listener = connect("listener");
    platform::win32::ScopedProcess as(listener);
    HANDLE pal = OpenPal();
    ASSERT_NE(pal, INVALID_HANDLE_VALUE);
    uint8_t out[16];
    EXPECT_EQ(Send(pal, kIoctlGetApiVersion, nullptr, 0, out, sizeof(out)).status, STATUS_SUCCESS);
    EXPECT_EQ(Send(pal, kIoctlGetApiVersion, nullptr, 0, out, 15).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Bus(pal, kDcpBusRegisterClient).status, STATUS_SUCCESS);
    EXPECT_EQ(Bus(pal, kDcpBusRegisterClient).status, STATUS_INVALID_DEVICE_REQUEST);
    // The device's arrival was announced before we registered; start from an empty backlog.
    Wait wait(pal);
    ASSERT_EQ(wait.startError, ERROR_IO_PENDING);

    auto host = connect("asio-host");
    HANDLE asio;
    {
        platform::win32::ScopedProcess asHost(host);
        asio = OpenRoot(u"\\ASIO");
        ASSERT_NE(asio, INVALID_HANDLE_VALUE);
    }
    EXPECT_EQ(wait.finish(), STATUS_SUCCESS);
    EXPECT_EQ(wait.record.kind, kPalNotifyBusChanged);

    HANDLE closing = OpenPal();
    ASSERT_EQ(Bus(closing, kDcpBusRegisterClient).status, STATUS_SUCCESS);
    auto pending = std::make_unique<Wait>(closing);
    ASSERT_TRUE(pending->pending());
    CloseHandle(closing);
    EXPECT_EQ(pending->finish(), STATUS_CANCELLED);
    {
        platform::win32::ScopedProcess asHost(host);
        CloseHandle(asio);
    }
    CloseHandle(pal);
}

// `vexa-pal watch` prints each hook the library raises as the notification arrives, with the values the
// library read, and stops cleanly on Ctrl-C.
TEST_F(MachineTest, VexaPalWatchPrintsNotifications) {
    start(true);
    Program watch({VEXA_PAL_BIN, "--socket", socket(), "watch"}, {});
    // What the bus read as it came up is not a notification: the header comes first, and the first line
    // after it is the ASIO open's.
    std::string line;
    ASSERT_TRUE(watch.read_until("notification", kStartupMs, &line));
    EXPECT_EQ(line, "watching notifications (Ctrl-C to stop)");
    ASSERT_TRUE(machine_->read_until("(vexa-pal) connected"));
    auto host = connect("asio-host");
    platform::win32::ScopedProcess as(host);
    HANDLE asio = OpenRoot(u"\\ASIO");
    ASSERT_NE(asio, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(watch.read_until("notification: ", kStartupMs, &line)) << watch.so_far();
    EXPECT_EQ(line, "notification: bus changed: audio clients 1");
    EXPECT_TRUE(watch.read_until("notification: bus changed: single ASIO client yes")) << watch.so_far();
    EXPECT_EQ(watch.signal_and_wait(SIGINT), 0);
    EXPECT_TRUE(watch.read_until("stopped")) << watch.so_far();
    CloseHandle(asio);
}

// When the root device goes, the watch ends as a failure, not as a stop, and vexa-pal finds no PAL
// interface until the root device is back.
TEST_F(MachineTest, VexaPalWatchEndsWhenTheRootDeviceGoes) {
    constexpr int kEndMs = 30000;  // generous: a busy machine may be slow to answer
    start(true);
    Program watch({VEXA_PAL_BIN, "--socket", socket(), "watch"}, {});
    ASSERT_TRUE(watch.read_until("watching notifications"));
    machine_->write_line("root remove");
    ASSERT_TRUE(machine_->read_until("removed the root device")) << machine_->so_far();
    EXPECT_FALSE(watch.read_until("stopped", kEndMs)) << "the output ends without a stop";
    // A watch still running takes the signal as a stop and exits 0.
    EXPECT_EQ(watch.signal_and_wait(SIGTERM), 1);
    int code = -1;
    pal("settings", {}, true, &code);
    EXPECT_EQ(code, 1) << "no root driver: nothing to read";
    machine_->write_line("root add");
    ASSERT_TRUE(machine_->read_until("added the root device")) << machine_->so_far();
    EXPECT_NE(pal("version", {}, true, &code).find("PAL interface version: 0x7001"), std::string::npos);
    EXPECT_EQ(code, 0);
}

// A client killed with a wait pending leaves the machine serving the others, its registration released.
TEST_F(MachineTest, KilledClientLeavesTheMachineServing) {
    start(false);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
        std::string error;
        auto process = platform::win32::connect_to_machine(socket(), false, "doomed", &error);
        if (!process) _exit(2);
        platform::win32::set_default_process(process);
        HANDLE pal = OpenPal();
        std::vector<uint8_t> reply;
        Bus(pal, kDcpBusRegisterClient, &reply);
        static Wait wait(pal);
        if (!wait.pending()) _exit(3);
        char byte = 1;
        (void)!write(ready[1], &byte, 1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1) << "the child registered and is waiting";
    close(ready[0]);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ASSERT_TRUE(machine_->read_until("(doomed) ended"));

    auto survivor = connect("survivor");
    platform::win32::ScopedProcess as(survivor);
    std::vector<HANDLE> clients;
    for (int i = 0; i < 5; ++i) {
        clients.push_back(OpenPal());
        EXPECT_EQ(Bus(clients.back(), kDcpBusRegisterClient).status, STATUS_SUCCESS) << "slot " << i;
    }
    for (HANDLE h : clients) CloseHandle(h);
    int code = -1;
    pal("version", {}, true, &code);
    EXPECT_EQ(code, 0);
}

// The machine boots with a simulated interface bound; unplugging and plugging
// on its standard input reach `vexa-pal watch` and the bus settings.
TEST_F(MachineTest, PlugAndUnplugFromStandardInput) {
    start(true);
    std::string settings = pal("settings");
    EXPECT_NE(settings.find("device count: 1 devices"), std::string::npos) << settings;
    EXPECT_NE(settings.find("output channels: 10 channels"), std::string::npos) << settings;

    Program watch({VEXA_PAL_BIN, "--socket", socket(), "watch"}, {});
    ASSERT_TRUE(watch.read_until("watching notifications"));
    machine_->write_line("unplug 1");
    EXPECT_TRUE(machine_->read_until("unplugged port 1")) << machine_->so_far();
    std::string line;
    EXPECT_TRUE(watch.read_until("notification: device removal: ", kStartupMs, &line)) << watch.so_far();
    EXPECT_NE(line.find("Cantile-QE"), std::string::npos) << line;
    EXPECT_NE(pal("settings").find("device count: 0 devices"), std::string::npos);

    machine_->write_line("plug cantile-qk");
    EXPECT_TRUE(machine_->read_until("plugged cantile-qk into port 2")) << machine_->so_far();
    EXPECT_TRUE(watch.read_until("notification: device arrival: ", kStartupMs, &line)) << watch.so_far();
    EXPECT_NE(line.find("Cantile-QK"), std::string::npos) << line;
    settings = pal("settings");
    EXPECT_NE(settings.find("device count: 1 devices"), std::string::npos) << settings;
    EXPECT_NE(settings.find("output channels: 4 channels"), std::string::npos) << settings;

    machine_->write_line("unplug 7");
    EXPECT_TRUE(machine_->read_until("nothing is plugged into port 7"));
    machine_->write_line("plug cantile-zz");
    EXPECT_TRUE(machine_->read_until("unknown model 'cantile-zz'"));
    EXPECT_EQ(watch.signal_and_wait(SIGINT), 0);
    EXPECT_EQ(machine_->signal_and_wait(SIGTERM), 0);
}

// MIDI sent out of a port of the interface comes back through the interface's loopback to the
// MIDI input child's driver unchanged, for both models; unplugging removes the children (no
// port to send on) and plugging the other model brings them back.
TEST_F(MachineTest, MidiLoopsBackThroughTheChildrenOfBothModels) {
    start(true, {"--device", "cantile-qk"});
    machine_->write_line("midi 1 90 3c 64 f0 01 02 03 f7 c0 05");
    EXPECT_TRUE(machine_->read_until("midi port 1: sent 90 3c 64 f0 01 02 03 f7 c0 05, the input driver received "
                                     "90 3c 64 f0 01 02 03 f7 c0 05"))
        << machine_->so_far();
    machine_->write_line("unplug 1");
    EXPECT_TRUE(machine_->read_until("unplugged port 1"));
    machine_->write_line("midi 1 f8");
    EXPECT_TRUE(machine_->read_until("MIDI out port 1 is not open")) << machine_->so_far();
    machine_->write_line("plug cantile-qe");
    EXPECT_TRUE(machine_->read_until("plugged cantile-qe into port 2"));
    machine_->write_line("midi 1 b0 07 7f f8 e0 00 40");
    EXPECT_TRUE(machine_->read_until("sent b0 07 7f f8 e0 00 40, the input driver received b0 07 7f f8 e0 00 40"))
        << machine_->so_far();
    machine_->write_line("midi 0 90");
    EXPECT_TRUE(machine_->read_until("midi needs a port number from 1"));
    EXPECT_EQ(machine_->signal_and_wait(SIGTERM), 0);
}

// A person plays a tone into the render stream of the WDM audio driver's stand-in and reads what
// came back on its capture stream: the level of a half-scale tone (-9 dBFS RMS) after the rings'
// latency, in both depths, and again after the interface was plugged anew. Bit-exactness is the
// virtual-clock tests' to prove; in real time a loaded host may glitch.
TEST_F(MachineTest, ToneComesBackOnTheCaptureStream) {
    start(true);
    const char* commands[] = {"tone 48000 24 400", "tone 44100 16 400"};
    for (const char* command : commands) {
        machine_->write_line(command);
        std::string line;
        EXPECT_TRUE(machine_->read_until("came back after", 20000, &line)) << machine_->so_far();
        size_t at = line.find(" frames at ");
        ASSERT_NE(at, std::string::npos) << line;
        double rms = std::strtod(line.c_str() + at + 11, nullptr);
        EXPECT_NEAR(rms, -9.0, 0.5) << line;
    }
    machine_->write_line("unplug 1");
    EXPECT_TRUE(machine_->read_until("unplugged port 1"));
    machine_->write_line("tone");
    EXPECT_TRUE(machine_->read_until("the WDM streams did not open")) << machine_->so_far();
    machine_->write_line("plug cantile-qk");
    EXPECT_TRUE(machine_->read_until("plugged cantile-qk into port 2"));
    machine_->write_line("tone 96000 24 300");
    std::string line;
    EXPECT_TRUE(machine_->read_until("came back after", 20000, &line)) << machine_->so_far();
    machine_->write_line("tone 8000");
    EXPECT_TRUE(machine_->read_until("did not open (status 0xC0000272)")) << "a rate the device does not list";
    machine_->write_line("tone 48000 20");
    EXPECT_TRUE(machine_->read_until("tone takes a rate, 16 or 24 bits"));
    EXPECT_EQ(machine_->signal_and_wait(SIGTERM), 0);
}

// --device names the models plugged in at boot; an unknown model is a usage error.
TEST_F(MachineTest, DeviceFlagsPlugModels) {
    start(true, {"--device", "cantile-qk", "--device", "cantile-qe"});
    std::string settings = pal("settings");
    EXPECT_NE(settings.find("device count: 2 devices"), std::string::npos) << settings;
    EXPECT_NE(settings.find("output channels: 4 channels"), std::string::npos) << "the first is current";
    EXPECT_EQ(machine_->signal_and_wait(SIGTERM), 0);

    Program bad({VEXA_MACHINE_BIN, "--state", state(), "--socket", socket(), "--device", "cantile-x"}, {});
    EXPECT_EQ(bad.wait_exit(), 2);
}

// Runs ASIO host probes (one per argument list) at once against the machine
// until a round in which no host fell behind; such a round must be bit-exact.
// A host that fell behind (its own thread starved on a loaded machine) makes
// its round inconclusive, never a pass; three such rounds fail.
void StreamWithProbes(const std::string& socket, const std::vector<std::vector<std::string>>& probes) {
    constexpr int kRounds = 3;
    constexpr int kHostBehind = 3;
    std::string report;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<std::unique_ptr<Program>> running;
        for (const auto& extra : probes) {
            std::vector<std::string> args{VEXA_ASIO_HOST_PROBE_BIN, "--socket", socket, "--seconds", "3"};
            args.insert(args.end(), extra.begin(), extra.end());
            running.push_back(std::make_unique<Program>(args, std::map<std::string, std::string>{}));
        }
        bool behind = false;
        for (auto& probe : running) {
            std::string out = probe->rest();
            int code = probe->wait_exit();
            report += out;
            behind = behind || code == kHostBehind;
            ASSERT_TRUE(code == 0 || code == kHostBehind) << out;
            if (code == 0) {
                EXPECT_NE(out.find("mismatches=0 missed=0 late=0"), std::string::npos) << out;
                EXPECT_EQ(out.find("latency=-1"), std::string::npos) << out;
            }
        }
        if (!behind) return;
    }
    ADD_FAILURE() << "every round had a host fall behind:\n" << report;
}

// A host in another process streams a ramp through the ASIO interface for a few real seconds: bit-exact, none missed.
TEST_F(MachineTest, AnAsioHostInAnotherProcessStreamsBitExact) {
    start(true);
    StreamWithProbes(socket(), {{}});
}

// Two hosts in two processes at once, a 64-bit and a 32-bit one, each on channels of its own.
TEST_F(MachineTest, TwoAsioHostsInOtherProcessesStreamAtOnce) {
    start(true);
    StreamWithProbes(socket(), {{"--first", "0", "--count", "5"}, {"--first", "5", "--count", "5", "--32bit"}});
}

}  // namespace

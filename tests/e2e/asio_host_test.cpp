// vexa-asio-host against vexa-machine in real time, each a program of its
// own: the ASIO driver found in the registry and created by its class id,
// every channel played and recorded bit-exact, two hosts at once, the host's
// reset handling through rate and buffer-size changes, an unplug and
// re-plug and the root device's removal and return, and the exit codes
// scripts rely on (a stream that stops, an interface that does not come
// back). No timing is asserted: a run whose host fell behind (its own thread
// starved on a busy machine, exit 3) is inconclusive and run again; three
// such runs fail. A driver's fault never counts as the host falling behind.
// These tests run one at a time, beside nothing else of the suite.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>

#include "support/program.h"
#include "support/temp_dir.h"

namespace {

using vexa::test::Program;
using vexa::test::TempDir;

constexpr int kOk = 0;
constexpr int kHostBehind = 3;
constexpr int kNoMachine = 4;
constexpr int kNoDriver = 5;
constexpr int kNoDevice = 6;
constexpr int kStopped = 7;
constexpr int kRuns = 3;
constexpr int kEventMs = 30000;  // generous: a busy machine may be slow to answer
constexpr const char* kMatched = "result: every channel came back matching what went out, with no drop-out";

class AsioHostProgramTest : public ::testing::Test {
protected:
    // A machine of its own state each time, so no setting carries over from an earlier run.
    void start(const std::vector<std::string>& devices = {}) {
        machine_.reset();
        std::vector<std::string> args{VEXA_MACHINE_BIN, "--state",
                                      (dir_.path() / ("state" + std::to_string(++machines_))).string(), "--socket",
                                      socket()};
        args.insert(args.end(), devices.begin(), devices.end());
        machine_ = std::make_unique<Program>(args, std::map<std::string, std::string>{}, true);
        ASSERT_TRUE(machine_->read_until("ready on")) << machine_->so_far();
    }
    std::string socket() const { return (dir_.path() / "machine.sock").string(); }

    std::unique_ptr<Program> host(std::vector<std::string> extra) {
        std::vector<std::string> args{VEXA_ASIO_HOST_BIN, "--socket", socket()};
        args.insert(args.end(), extra.begin(), extra.end());
        return std::make_unique<Program>(args, std::map<std::string, std::string>{});
    }
    int pal(const std::vector<std::string>& command) {
        std::vector<std::string> args{VEXA_PAL_BIN, "--socket", socket()};
        args.insert(args.end(), command.begin(), command.end());
        Program tool(args, {});
        tool.rest();
        return tool.wait_exit();
    }

    TempDir dir_;
    int machines_ = 0;
    std::unique_ptr<Program> machine_;
};

// The same programs, in tests that must have the machine to themselves: real-time audio runs one at a time.
class AsioHostRealTimeTest : public AsioHostProgramTest {};

// Runs `round` until one ends with no host behind; every host's report must then say it matched.
void UntilConclusive(const std::function<std::vector<std::pair<int, std::string>>()>& round) {
    std::string reports;
    for (int run = 0; run < kRuns; ++run) {
        bool behind = false;
        for (const auto& [code, out] : round()) {
            reports += out;
            behind = behind || code == kHostBehind;
            EXPECT_TRUE(code == kOk || code == kHostBehind) << "exit " << code << "\n" << out;
            if (code == kOk) {
                EXPECT_NE(out.find(kMatched), std::string::npos) << out;
            }
            if (code != kOk && code != kHostBehind) return;
        }
        if (!behind) return;
    }
    ADD_FAILURE() << "every run had a host fall behind:\n" << reports;
}

// The installed driver found and created through the registry, every channel of each model bit-exact.
TEST_F(AsioHostProgramTest, StreamsEveryChannelOfEachModelBitExact) {
    for (const char* model : {"cantile-qe", "cantile-qk"}) {
        SCOPED_TRACE(model);
        start({"--device", model});
        UntilConclusive([&] {
            auto h = host({"--seconds", "2"});
            std::string out = h->rest();
            int code = h->wait_exit();
            EXPECT_NE(out.find("\"ASIO QUV VEXA USB Platform\" {6D41C2A8-3B57-4E19-9C02-58F1A7D3E64B}"),
                      std::string::npos)
                << out;
            EXPECT_EQ(out.find("does not match"), std::string::npos) << out;
            return std::vector<std::pair<int, std::string>>{{code, out}};
        });
        EXPECT_EQ(machine_->signal_and_wait(SIGTERM), 0);
    }
}

// Two hosts in two processes at once, each on channels of its own: both bit-exact.
TEST_F(AsioHostProgramTest, TwoHostsStreamAtOnce) {
    start();
    UntilConclusive([&] {
        auto first = host({"--seconds", "3", "--channels", "0-4"});
        auto second = host({"--seconds", "3", "--channels", "5-9"});
        std::vector<std::pair<int, std::string>> results;
        for (auto* h : {first.get(), second.get()}) {
            std::string out = h->rest();
            results.emplace_back(h->wait_exit(), out);
        }
        return results;
    });
}

// While the host streams: the rate and the buffer size changed with vexa-pal, the interface pulled out and
// plugged in again. The host resets each time, waits for the device while there is none, and every stream it
// ran came back bit-exact.
TEST_F(AsioHostProgramTest, ResetsThroughChangesAndAReplug) {
    UntilConclusive([&] {
        start();
        auto h = host({"--seconds", "10"});
        // Each stream runs until the host's next progress line before the next change.
        EXPECT_TRUE(h->read_until("streaming: 48000 Hz, 512 frames", kEventMs));
        EXPECT_TRUE(h->read_until("buffer switches", kEventMs));
        EXPECT_EQ(pal({"rate", "96000"}), 0);
        EXPECT_TRUE(h->read_until("streaming again: 96000 Hz", kEventMs));
        EXPECT_TRUE(h->read_until("buffer switches", kEventMs));
        EXPECT_EQ(pal({"buffer-size", "2048"}), 0);
        EXPECT_TRUE(h->read_until("streaming again: 96000 Hz, 2048 frames", kEventMs));
        EXPECT_TRUE(h->read_until("buffer switches", kEventMs));
        machine_->write_line("unplug 1");
        EXPECT_TRUE(machine_->read_until("unplugged port 1", kEventMs));
        EXPECT_TRUE(h->read_until("not streaming", kEventMs)) << "no device to start again on";
        machine_->write_line("plug cantile-qe");
        EXPECT_TRUE(machine_->read_until("plugged cantile-qe", kEventMs));
        EXPECT_TRUE(h->read_until("streaming again", kEventMs)) << "the host recovers once the interface is back";
        std::string out = h->rest();
        int code = h->wait_exit();
        EXPECT_NE(out.find("stream 4:"), std::string::npos) << "four streams reported\n" << out;
        return std::vector<std::pair<int, std::string>>{{code, out}};
    });
}

// While the host streams, the root device is removed (its driver updated or disabled) and added back: the host is
// asked to reset at once, finds no driver while the root device is away, and streams bit-exact again once it is back.
TEST_F(AsioHostProgramTest, ResetsThroughTheRootDevicesRemovalAndReturn) {
    UntilConclusive([&] {
        start();
        auto h = host({"--seconds", "10"});
        EXPECT_TRUE(h->read_until("streaming: 48000 Hz, 512 frames", kEventMs));
        EXPECT_TRUE(h->read_until("buffer switches", kEventMs));
        machine_->write_line("root remove");
        EXPECT_TRUE(machine_->read_until("removed the root device", kEventMs));
        EXPECT_TRUE(h->read_until("the driver asks for a reset", kEventMs)) << "the host is told";
        EXPECT_TRUE(h->read_until("not streaming", kEventMs)) << "no driver to start again on";
        machine_->write_line("root add");
        EXPECT_TRUE(machine_->read_until("added the root device", kEventMs));
        EXPECT_TRUE(h->read_until("streaming again", kEventMs)) << "the host recovers once the root device is back";
        std::string out = h->rest();
        int code = h->wait_exit();
        EXPECT_NE(out.find("stream 2:"), std::string::npos) << "two streams reported\n" << out;
        return std::vector<std::pair<int, std::string>>{{code, out}};
    });
}

// The machine killed while the host streams: no reset comes, the switches just end. The run fails with the code of
// its own for a stream that stopped: not a pass, and not a host that fell behind (which would be run again).
TEST_F(AsioHostProgramTest, AKilledMachineStopsTheStream) {
    start();
    auto h = host({"--seconds", "6"});
    ASSERT_TRUE(h->read_until("streaming: 48000 Hz", kEventMs));
    ASSERT_TRUE(h->read_until("buffer switches", kEventMs));
    machine_->signal_and_wait(SIGKILL);
    std::string out = h->rest();
    EXPECT_EQ(h->wait_exit(), kStopped) << out;
    EXPECT_NE(out.find("result: STOPPED"), std::string::npos) << out;
    EXPECT_EQ(out.find(kMatched), std::string::npos) << out;
}

// The interface pulled out mid-run and not plugged back: the run ends with the code for no interface, and says so.
TEST_F(AsioHostProgramTest, AnInterfaceThatDoesNotComeBackEndsWithNoInterface) {
    start();
    auto h = host({"--seconds", "4"});
    ASSERT_TRUE(h->read_until("buffer switches", kEventMs));
    machine_->write_line("unplug 1");
    ASSERT_TRUE(machine_->read_until("unplugged port 1", kEventMs));
    std::string out = h->rest();
    EXPECT_EQ(h->wait_exit(), kNoDevice) << out;
    EXPECT_NE(out.find("the run ended without an interface to stream to"), std::string::npos) << out;
    EXPECT_NE(out.find("result: no interface"), std::string::npos) << out;
}

// The exit codes scripts tell failures apart by: no machine, no driver of that name, no device; --help is no failure.
TEST_F(AsioHostProgramTest, FailuresHaveTheirOwnExitCodes) {
    auto help = host({"--help"});
    std::string helpText = help->rest();
    EXPECT_EQ(help->wait_exit(), kOk);
    EXPECT_NE(helpText.find("usage: vexa-asio-host"), std::string::npos) << helpText;
    for (int code = kOk; code <= kStopped; ++code) {
        EXPECT_NE(helpText.find("\n  " + std::to_string(code) + "  "), std::string::npos)
            << "exit code " << code << "\n" << helpText;
    }

    auto none = host({"--seconds", "1"});
    none->rest();
    EXPECT_EQ(none->wait_exit(), kNoMachine);

    start({"--device", "none"});
    auto nameless = host({"--driver", "ASIO Nobody", "--seconds", "1"});
    std::string listed = nameless->rest();
    EXPECT_EQ(nameless->wait_exit(), kNoDriver);
    EXPECT_NE(listed.find("ASIO drivers installed: 1"), std::string::npos) << listed;

    auto deviceless = host({"--seconds", "1"});
    deviceless->rest();
    EXPECT_EQ(deviceless->wait_exit(), kNoDevice);

    auto usage = host({"--buffer-size", "many"});
    usage->rest();
    EXPECT_EQ(usage->wait_exit(), 2);
}

// vexa-pal's setters read back what the root took: a rate the interface lacks and a setting with no interface
// plugged in are failures, not silent successes.
TEST_F(AsioHostProgramTest, PalSettersReportWhatTheRootTook) {
    start();
    EXPECT_EQ(pal({"rate", "96000"}), 0);
    EXPECT_EQ(pal({"rate", "12345"}), 1) << "the root keeps its rate for one the interface lacks";
    EXPECT_EQ(pal({"buffer-size", "256"}), 0);
    EXPECT_EQ(pal({"mode", "3"}), 0);
    EXPECT_EQ(pal({"rate"}), 2) << "a setter needs its value";
    EXPECT_EQ(pal({"rate", "fast"}), 2);
    machine_->write_line("unplug 1");
    ASSERT_TRUE(machine_->read_until("unplugged port 1", kEventMs));
    EXPECT_EQ(pal({"rate", "48000"}), 1) << "nothing to set with no interface";
}

// While the host streams on the first interface a second is plugged in and pulled out again: the first's
// stream runs on bit-exact, with no reset request and no second stream (the arrival used to stop and
// restart it under the host).
TEST_F(AsioHostRealTimeTest, ASecondInterfaceComingAndGoingLeavesTheStreamAlone) {
    UntilConclusive([&] {
        start({"--device", "cantile-qe"});
        auto h = host({"--seconds", "8"});
        EXPECT_TRUE(h->read_until("streaming: 48000 Hz", kEventMs));
        EXPECT_TRUE(h->read_until("buffer switches", kEventMs));
        machine_->write_line("plug cantile-qk");
        EXPECT_TRUE(machine_->read_until("plugged cantile-qk into port 2", kEventMs));
        EXPECT_TRUE(h->read_until("buffer switches", kEventMs));
        machine_->write_line("unplug 2");
        EXPECT_TRUE(machine_->read_until("unplugged port 2", kEventMs));
        std::string out = h->rest();
        int code = h->wait_exit();
        EXPECT_EQ(out.find("the driver asks for a reset"), std::string::npos) << out;
        EXPECT_EQ(out.find("stream 2:"), std::string::npos) << "one stream throughout\n" << out;
        return std::vector<std::pair<int, std::string>>{{code, out}};
    });
}

// The round trip the host measures is the input plus output latency the driver reports, exactly, for
// both models at 44.1, 48 and 96 kHz (the host fails a run whose signal comes back at any other latency).
TEST_F(AsioHostRealTimeTest, TheRoundTripIsTheReportedLatency) {
    for (const char* model : {"cantile-qe", "cantile-qk"}) {
        start({"--device", model});
        for (const char* rate : {"44100", "48000", "96000"}) {
            SCOPED_TRACE(std::string(model) + " at " + rate + " Hz");
            UntilConclusive([&] {
                auto h = host({"--seconds", "1", "--rate", rate});
                std::string out = h->rest();
                int code = h->wait_exit();
                EXPECT_NE(out.find(std::string("stream 1: ") + rate + " Hz"), std::string::npos) << out;
                EXPECT_NE(out.find("frames (0 from the reported)"), std::string::npos) << out;
                return std::vector<std::pair<int, std::string>>{{code, out}};
            });
        }
        EXPECT_EQ(machine_->signal_and_wait(SIGTERM), 0);
    }
}

}  // namespace

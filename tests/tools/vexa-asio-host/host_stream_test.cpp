// The test host streams through the whole stack in this program on the
// virtual clock: the ASIO driver created by its class id from the registry,
// every channel of each model played and captured at every rate the
// interface offers, with buffer sizes from the band's minimum to its
// maximum; what comes back must be bit-exact at one constant latency, and
// the latencies the driver reports must add up to the round trip measured.
#include <gtest/gtest.h>

#include "host_fixture.h"

namespace {

using namespace vexa::test;
using vexa::asio_host::HostOptions;
using vexa::asio_host::Signal;
using vexa::asio_host::Stream;
using platform::device::VexaModel;

struct StreamCase {
    VexaModel model;
    uint32_t rate;
    uint32_t frames;
    Signal signal;
    bool timeInfo;
};

void PrintTo(const StreamCase& c, std::ostream* out) {
    *out << (c.model == VexaModel::CantileQe ? "Cantile-QE " : "Cantile-QK ") << c.rate << " Hz, " << c.frames
         << " frames, " << vexa::asio_host::SignalName(c.signal) << (c.timeInfo ? ", time info" : ", plain");
}

class HostStreamTest : public HostTest, public ::testing::WithParamInterface<StreamCase> {};

// Every channel loops back bit-exact at one latency, and that latency is the reported round trip.
TEST_P(HostStreamTest, EveryChannelComesBackBitExact) {
    const StreamCase& c = GetParam();
    root_.ports().plug(c.model);
    ASSERT_TRUE(set_rate(c.rate));
    HostOptions options;
    options.bufferSize = c.frames;
    options.signal = c.signal;
    options.timeInfo = c.timeInfo;
    vexa::asio_host::AsioHost& h = streaming(options);
    uint32_t channels = settings().outputChannels;
    // A second, or enough halves for the signal to come back several times over.
    uint64_t halfMs = uint64_t{c.frames} * 1000 / c.rate + 1;
    run(std::max<uint64_t>(1000, 12 * halfMs), {&h});
    ASSERT_EQ(h.stop(), ASE_OK);
    std::vector<Stream> streams = h.streams();
    ASSERT_EQ(streams.size(), 1u);
    const Stream& s = streams[0];
    EXPECT_EQ(s.rate, c.rate);
    EXPECT_EQ(s.bufferSize, c.frames);
    ExpectMatched(s, channels, "stream");
    EXPECT_GE(s.switches, 8u);
    int64_t reported = int64_t{s.inputLatency} + s.outputLatency;
    int64_t measured = s.channels.empty() ? -1 : s.channels.front().latency;
    EXPECT_EQ(measured, reported) << "the round trip is the reported input and output latency, every term of it";
    EXPECT_GE(measured, 2 * int64_t{c.frames}) << "a half out and a half in at least";
}

std::vector<StreamCase> Cases() {
    std::vector<StreamCase> cases;
    for (VexaModel model : {VexaModel::CantileQk, VexaModel::CantileQe}) {
        for (uint32_t rate : platform::device::data_sheet(model).rates) {
            uint32_t band = rate <= 48000 ? 0 : rate <= 96000 ? 1 : 2;
            for (uint32_t frames : {48u << band, 512u, 2048u << band}) {
                cases.push_back({model, rate, frames, Signal::Ramp, true});
            }
        }
    }
    // The sine, and the plain buffer switch that asks for the position itself.
    cases.push_back({VexaModel::CantileQe, 44100, 96, Signal::Sine, true});
    cases.push_back({VexaModel::CantileQk, 96000, 256, Signal::Sine, false});
    cases.push_back({VexaModel::CantileQe, 48000, 48, Signal::Ramp, false});
    return cases;
}

std::string CaseName(const ::testing::TestParamInfo<StreamCase>& info) {
    const StreamCase& c = info.param;
    return std::string(c.model == VexaModel::CantileQe ? "Qe" : "Qk") + "_" + std::to_string(c.rate) + "_" +
           std::to_string(c.frames) + (c.signal == Signal::Sine ? "_Sine" : "") + (c.timeInfo ? "" : "_Plain");
}

INSTANTIATE_TEST_SUITE_P(Models, HostStreamTest, ::testing::ValuesIn(Cases()), CaseName);

}  // namespace

// The WDM adapter's stream clients against the root driver's test image on a
// simulated Cantile-QE that loops playback to capture, the test playing the
// outside WDM audio driver: sample conversion, the rings, the format rules,
// mixing with other clients, refusals, closing, and the child's notifications.
#include <atomic>
#include <thread>

#include "platform/kernel/fault.h"
#include "platform/kernel/pool.h"
#include "platform/machine/event_log.h"
#include "source/driver/usb/win/kernel_common/messages.h"
#include "tests/driver/usb/win/vexa_usb_swroot/wdm_child.h"

namespace {

using namespace vexa::test;

constexpr ULONG kWdmPoolTag = 0x6B61726D;
constexpr uint32_t kAsio64Kind = 0;       // an ASIO client of a 64-bit host
constexpr uint32_t kDeviceLostEvent = 4;  // the client event of a device leaving

class WdmStreamTest : public WdmChildTest {
protected:
    WdmStreamTest() { EXPECT_EQ(child_->open(&reply_, &adapterLog_), STATUS_SUCCESS); }

    WdmOpen reply_{};
};

// A child that moves real audio each period: a render child plays `value` on every sample; a
// capture child keeps the samples it got.
struct AudioChild {
    std::mutex lock;
    OpenedStream stream{};
    uint32_t channels = 2;
    uint32_t bytes = 2;
    int32_t value = 0;
    std::vector<int32_t> received;
    std::vector<uint8_t> buffer = std::vector<uint8_t>(64 * 1024);

    static void Period(void* context, uint32_t bytes) {
        auto* self = static_cast<AudioChild*>(context);
        std::lock_guard guard(self->lock);
        if (bytes > self->buffer.size()) return;
        bool render = self->value != 0;
        for (uint32_t i = 0; render && i < bytes; i += self->bytes) {
            auto v = static_cast<uint32_t>(self->value);
            for (uint32_t b = 0; b < self->bytes; ++b) self->buffer[i + b] = static_cast<uint8_t>(v >> (8 * b));
        }
        self->stream.transfer(self->stream.stream, self->buffer.data(), bytes);
        for (uint32_t i = 0; !render && i < bytes; i += self->bytes) {
            uint32_t v = 0;
            for (uint32_t b = 0; b < self->bytes; ++b) v |= uint32_t{self->buffer[i + b]} << (8 * b);
            self->received.push_back(static_cast<int32_t>(v << (32 - 8 * self->bytes)) >> (32 - 8 * self->bytes));
        }
    }
};

OpenedStream OpenAudioChild(WdmChild& child, AudioChild* audio, uint32_t direction, uint32_t bits) {
    WdmOpenStream request{};
    request.channelCount = audio->channels;
    request.bitsPerSample = bits;
    request.direction = direction;
    request.sampleRate = 48000;
    request.streamCallback = reinterpret_cast<uint64_t>(&AudioChild::Period);
    request.streamContext = reinterpret_cast<uint64_t>(audio);
    request.adapter = child.adapter();
    NTSTATUS status = child.send(kIoctlWdmOpenStream, &request);
    OpenedStream opened{status, nullptr, nullptr, nullptr};
    if (NT_SUCCESS(status)) {
        uint64_t transfer;
        uint64_t setState;
        std::memcpy(&transfer, reinterpret_cast<uint8_t*>(&request) + kWdmStreamTransferOffset, 8);
        std::memcpy(&setState, reinterpret_cast<uint8_t*>(&request) + kWdmStreamSetStateOffset, 8);
        opened = {status, reinterpret_cast<void*>(request.stream), reinterpret_cast<WdmStreamTransferFn>(transfer),
                  reinterpret_cast<WdmStreamSetStateFn>(setState)};
    }
    std::lock_guard guard(audio->lock);
    audio->bytes = bits / 8;
    audio->stream = opened;
    return opened;
}

// 16-bit 0x1234 goes into the ring as 0x12340000 (and a negative sample stays negative); a
// 24-bit ring sample 0x89ABCDEF comes out as the bytes CD AB 89.
TEST_F(WdmStreamTest, SamplesAreConvertedBothWays) {
    ChildLog log;
    OpenedStream render = child_->open_stream(kWdmRender, 48000, 16, 2, &log);
    ASSERT_EQ(render.status, STATUS_SUCCESS);
    uint8_t frame[4] = {0x34, 0x12, 0xDC, 0xFE};
    render.transfer(render.stream, frame, sizeof(frame));
    auto sample = root_.hook<RingSampleFn>("VexaTestRingSample");
    EXPECT_EQ(static_cast<uint32_t>(sample(render.stream, 0, 0)), 0x12340000u);
    EXPECT_EQ(static_cast<uint32_t>(sample(render.stream, 1, 0)), 0xFEDC0000u);

    OpenedStream capture = child_->open_stream(kWdmCapture, 48000, 24, 2, &log);
    ASSERT_EQ(capture.status, STATUS_SUCCESS);
    KernelClientProbe p = probe(capture.stream);
    root_.hook<PokeRingFn>("VexaTestPokeRing")(capture.stream, 0, p.readIndex, static_cast<int32_t>(0x89ABCDEF));
    uint8_t out[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    capture.transfer(capture.stream, out, sizeof(out));
    EXPECT_EQ(std::vector<uint8_t>(out, out + 6), (std::vector<uint8_t>{0xCD, 0xAB, 0x89, 0, 0, 0}));
    EXPECT_EQ(sample(capture.stream, 0, p.readIndex), 0) << "read samples are cleared";
    EXPECT_EQ(probe(capture.stream).readIndex, p.readIndex + 1);
}

// A stereo 48 kHz stream has rings of 4800 samples and reads 2400 frames behind its writes; a
// child that gives nothing is read on silence until the lead is spent, then every period is
// an underrun, counted, the position wrapping at the ring's end; a transfer larger than the
// room is an overrun, cut to the room.
TEST_F(WdmStreamTest, RingsStartHalfFullWrapAndCountTheirRuns) {
    ChildLog log;
    OpenedStream render = child_->open_stream(kWdmRender, 48000, 24, 2, &log);
    ASSERT_EQ(render.status, STATUS_SUCCESS);
    KernelClientProbe p = probe(render.stream);
    EXPECT_EQ(p.ringLength, 4800u);
    EXPECT_EQ(p.readIndex, 2400u);
    EXPECT_EQ(p.writeIndex, 0u);
    ASSERT_EQ(render.setState(render.stream, kWdmStateRun), STATUS_SUCCESS);
    run_ms(40);
    p = probe(render.stream);
    EXPECT_EQ(p.underruns, 0u) << "40 ms is less than the lead";
    {
        std::lock_guard guard(log.lock);
        EXPECT_GT(log.periods, 0u);
        EXPECT_EQ(log.bytes % 6, 0u) << "whole frames of two 3-byte samples";
        EXPECT_EQ((p.readIndex + 4800 - 2400) % 4800, log.bytes / 6 % 4800) << "it read what it asked for";
    }
    run_ms(100);
    p = probe(render.stream);
    EXPECT_GT(p.underruns, 0u);
    EXPECT_LT(p.readIndex, 4800u);

    std::vector<uint8_t> big(6 * 6000, 0x11);
    render.transfer(render.stream, big.data(), static_cast<uint32_t>(big.size()));
    p = probe(render.stream);
    EXPECT_EQ(p.overruns, 1u);
    EXPECT_LT(p.writeIndex, 4800u);
    EXPECT_EQ(child_->close_stream(render.stream), STATUS_SUCCESS);
}

// With an ASIO client open, a render stream at another rate is refused and the rate stays; at
// the current rate it opens.
TEST_F(WdmStreamTest, AnotherRateIsRefusedWhileAnAsioClientIsOpen) {
    HANDLE asio = OpenRoot(u"\\ASIO");
    ASSERT_NE(asio, INVALID_HANDLE_VALUE);
    EXPECT_EQ(arbiter().asio, 1);
    ChildLog log;
    EXPECT_EQ(child_->open_stream(kWdmRender, 44100, 24, 2, &log).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(engine_rate(), 48000u);
    EXPECT_EQ(arbiter().render, 0);
    OpenedStream same = child_->open_stream(kWdmRender, 48000, 24, 2, &log);
    EXPECT_EQ(same.status, STATUS_SUCCESS);
    EXPECT_EQ(child_->close_stream(same.stream), STATUS_SUCCESS);
    CloseHandle(asio);
}

// A second stream of the same direction at another rate is refused: it would move the rate under
// the first (asked before the new stream counted, the rules saw one stream and let it). The first
// keeps its rate; at that rate the second opens; once the first is closed, the next may move it.
TEST_F(WdmStreamTest, AStreamDoesNotMoveTheRateUnderAnother) {
    for (uint32_t direction : {kWdmRender, kWdmCapture}) {
        SCOPED_TRACE(direction == kWdmRender ? "render" : "capture");
        uint32_t rate = engine_rate();
        uint32_t other = rate == 48000 ? 96000 : 48000;
        ChildLog log;
        OpenedStream first = child_->open_stream(direction, rate, 24, 2, &log);
        ASSERT_EQ(first.status, STATUS_SUCCESS);
        ASSERT_EQ(first.setState(first.stream, kWdmStateRun), STATUS_SUCCESS);
        run_ms(10);
        EXPECT_EQ(child_->open_stream(direction, other, 24, 2, &log).status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(engine_rate(), rate) << "the running stream keeps its rate";
        EXPECT_EQ(direction == kWdmRender ? arbiter().render : arbiter().capture, 1) << "the refused one is uncounted";
        OpenedStream same = child_->open_stream(direction, rate, 24, 2, &log);
        ASSERT_EQ(same.status, STATUS_SUCCESS);
        EXPECT_EQ(child_->close_stream(same.stream), STATUS_SUCCESS);
        EXPECT_EQ(child_->close_stream(first.stream), STATUS_SUCCESS);

        OpenedStream alone = child_->open_stream(direction, other, 24, 2, &log);
        ASSERT_EQ(alone.status, STATUS_SUCCESS);
        EXPECT_EQ(engine_rate(), other) << "a stream on its own may move the rate";
        EXPECT_EQ(child_->close_stream(alone.stream), STATUS_SUCCESS);
        EXPECT_EQ(arbiter().render + arbiter().capture, 0);
    }
}

// After a render stream changed the rate, the next capture query answers 0 once, the
// following 1; after the control panel set the rate, each direction answers 0 once.
TEST_F(WdmStreamTest, FormatVetoesAnswerNoOnce) {
    ChildLog log;
    OpenedStream render = child_->open_stream(kWdmRender, 44100, 16, 2, &log);
    ASSERT_EQ(render.status, STATUS_SUCCESS);
    EXPECT_EQ(engine_rate(), 44100u);
    EXPECT_EQ(parameter(u"WDM0 Render Bit Depth")->as_dword(), 16u);
    EXPECT_EQ(child_->may_change(kWdmCapture), 0) << "a render stream is open";
    ASSERT_EQ(child_->close_stream(render.stream), STATUS_SUCCESS);
    EXPECT_EQ(child_->may_change(kWdmCapture), 1) << "the one-shot veto was taken by the query before";

    render = child_->open_stream(kWdmRender, 48000, 24, 2, &log);
    ASSERT_EQ(render.status, STATUS_SUCCESS);
    ASSERT_EQ(child_->close_stream(render.stream), STATUS_SUCCESS);
    EXPECT_EQ(child_->may_change(kWdmCapture), 0);
    EXPECT_EQ(child_->may_change(kWdmCapture), 1);
    EXPECT_EQ(child_->may_change(kWdmRender), 1);

    HANDLE pal = OpenPal();
    ASSERT_EQ(Bus(pal, vexa::pal::kDcpBusSetSampleRate, nullptr, 8, U32Data(96000)).status, STATUS_SUCCESS);
    CloseHandle(pal);
    uint32_t rate = 0;
    EXPECT_EQ(child_->may_change(kWdmRender, &rate), 0);
    EXPECT_EQ(rate, 96000u);
    EXPECT_EQ(child_->may_change(kWdmRender), 1);
    EXPECT_EQ(child_->may_change(kWdmCapture), 0);
    EXPECT_EQ(child_->may_change(kWdmCapture), 1);
    EXPECT_FALSE(parameter(u"WDM0 Capture Bit Depth").has_value()) << "never written for the default depth";
}

// State 1 is only stored: nothing streams and no period reaches the stream, yet it counts as running.
TEST_F(WdmStreamTest, StateOneIsStoredWithoutAStart) {
    ChildLog log;
    OpenedStream render = child_->open_stream(kWdmRender, 48000, 24, 2, &log);
    ASSERT_EQ(render.status, STATUS_SUCCESS);
    EXPECT_EQ(render.setState(render.stream, 1), STATUS_SUCCESS);
    run_ms(20);
    EXPECT_TRUE(probe(render.stream).running);
    EXPECT_EQ(root_.probe().runningClients, 1u);
    std::lock_guard guard(log.lock);
    EXPECT_EQ(log.periods, 0u);
}

// The render stream mixes into the packets other clients play: the sum saturates at the 32-bit
// limit instead of wrapping, and the capture stream hears the clipped sample.
TEST_F(WdmStreamTest, RenderMixesWithOtherClientsAndSaturates) {
    TestClientLog asio;
    asio.kind = kAsio64Kind;
    asio.constant = 0x40000000;
    void* client = root_.add_client(&asio);
    ASSERT_NE(client, nullptr);
    ASSERT_EQ(root_.start_client(client), STATUS_SUCCESS);
    AudioChild render;
    render.value = 0x6000;
    AudioChild capture;
    ASSERT_EQ(OpenAudioChild(*child_, &capture, kWdmCapture, 16).status, STATUS_SUCCESS);
    ASSERT_EQ(OpenAudioChild(*child_, &render, kWdmRender, 16).status, STATUS_SUCCESS);
    ASSERT_EQ(capture.stream.setState(capture.stream.stream, kWdmStateRun), STATUS_SUCCESS);
    ASSERT_EQ(render.stream.setState(render.stream.stream, kWdmStateRun), STATUS_SUCCESS);
    run_ms(300);
    EXPECT_EQ(child_->close_stream(render.stream.stream), STATUS_SUCCESS);
    EXPECT_EQ(child_->close_stream(capture.stream.stream), STATUS_SUCCESS);
    root_.remove_client(client);
    std::lock_guard guard(capture.lock);
    size_t clipped = 0;
    size_t wrapped = 0;
    for (int32_t v : capture.received) {
        clipped += v == 0x7FFF;
        wrapped += v < 0;
    }
    EXPECT_GT(clipped, 48000u * 2 / 10) << "a good part of the 300 ms came back clipped";
    EXPECT_EQ(wrapped, 0u);
}

// A stream asks for 1 to 48 channels, no more than the device has in that direction at that
// rate, 16 or 24 bits, a direction of 0 or 1 and a rate the device lists; a refusal changes
// nothing: not the rate, not a count, not the manager's slots.
TEST_F(WdmStreamTest, StreamsOutsideTheDeviceAreRefusedAndChangeNothing) {
    const struct {
        uint32_t channels, bits, direction, rate;
        NTSTATUS status;
    } cases[] = {
        {0, 24, kWdmRender, 48000, STATUS_INVALID_PARAMETER},   {49, 24, kWdmRender, 48000, STATUS_INVALID_PARAMETER},
        {11, 24, kWdmRender, 48000, STATUS_INVALID_PARAMETER},  {11, 24, kWdmCapture, 44100, STATUS_INVALID_PARAMETER},
        {6, 24, kWdmRender, 176400, STATUS_INVALID_PARAMETER},  {2, 8, kWdmRender, 48000, STATUS_INVALID_PARAMETER},
        {2, 32, kWdmCapture, 48000, STATUS_INVALID_PARAMETER},  {2, 24, 2, 44100, STATUS_INVALID_PARAMETER},
        {2, 24, kWdmRender, 22050, STATUS_NO_MATCH},            {10, 24, kWdmRender, 48000, STATUS_SUCCESS},
        {4, 16, kWdmCapture, 48000, STATUS_SUCCESS},
    };
    int64_t ringBytes = platform::pool::outstanding_bytes(kWdmPoolTag);
    for (const auto& c : cases) {
        ChildLog log;
        OpenedStream s = child_->open_stream(c.direction, c.rate, c.bits, c.channels, &log);
        EXPECT_EQ(s.status, c.status) << c.channels << " channels, " << c.bits << " bits, direction " << c.direction;
        EXPECT_EQ(engine_rate(), 48000u);
        if (NT_SUCCESS(s.status)) {
            EXPECT_EQ(probe(s.stream).channels, c.channels);
            EXPECT_EQ(child_->close_stream(s.stream), STATUS_SUCCESS);
        }
        ArbiterProbe a = arbiter();
        EXPECT_EQ(a.render + a.capture, 0);
        EXPECT_EQ(a.clients, 1u);
        EXPECT_EQ(platform::pool::outstanding_bytes(kWdmPoolTag), ringBytes);
    }
    std::vector<uint32_t> finals;
    for (const auto& e : root_.machine().event_log().entries()) {
        if (e.errorCode == MSG_SAMPLE_RATE_NOT_SUPPORTED) finals.push_back(static_cast<uint32_t>(e.finalStatus));
    }
    EXPECT_EQ(finals, std::vector<uint32_t>{0u});
}

// A stream open that fails on the way (memory for the client or a ring) undoes what it did and
// nothing else: the rate, the counts and the slots stay, and another running client streams on.
TEST_F(WdmStreamTest, AFailedOpenUndoesOnlyItsOwnWork) {
    TestClientLog other;
    void* client = root_.add_client(&other);
    ASSERT_EQ(root_.start_client(client), STATUS_SUCCESS);
    run_ms(50);  // the first periods come a few frames after the start
    int64_t ringBytes = platform::pool::outstanding_bytes(kWdmPoolTag);
    unsigned failed = 0;
    for (unsigned skip = 0; skip < 4; ++skip) {
        ChildLog log;
        platform::fault::inject("ExAllocatePoolWithTag", STATUS_INSUFFICIENT_RESOURCES, skip, 1);
        OpenedStream s = child_->open_stream(kWdmRender, 44100, 24, 2, &log);
        platform::fault::clear();
        if (NT_SUCCESS(s.status)) {
            EXPECT_EQ(child_->close_stream(s.stream), STATUS_SUCCESS);
            continue;
        }
        ++failed;
        EXPECT_EQ(s.status, STATUS_INSUFFICIENT_RESOURCES) << skip;
        EXPECT_EQ(engine_rate(), 48000u) << skip;
        ArbiterProbe a = arbiter();
        EXPECT_EQ(a.render, 0) << skip;
        EXPECT_EQ(a.clients, 2u) << skip;
        EXPECT_EQ(platform::pool::outstanding_bytes(kWdmPoolTag), ringBytes) << skip;
        uint64_t periods;
        {
            std::lock_guard guard(other.lock);
            periods = other.periods;
        }
        run_ms(5);
        std::lock_guard guard(other.lock);
        EXPECT_GT(other.periods, periods) << "streaming went on for the other client, skip " << skip;
    }
    EXPECT_GE(failed, 2u) << "the client and its first ring";
    root_.remove_client(client);
}

// Closing the adapter closes its running streams first; removing the device closes what a child
// that never closes left open when its PDO goes; either way nothing stays in the manager and
// every ring is freed.
TEST_F(WdmStreamTest, CloseAndRemovalLeaveNothingBehind) {
    int64_t ringBytes = platform::pool::outstanding_bytes(kWdmPoolTag);
    ChildLog log;
    for (int round = 0; round < 2; ++round) {
        OpenedStream capture = child_->open_stream(kWdmCapture, 48000, 24, 2, &log);
        OpenedStream render = child_->open_stream(kWdmRender, 48000, 24, 2, &log);
        ASSERT_EQ(render.status, STATUS_SUCCESS);
        ASSERT_EQ(capture.setState(capture.stream, kWdmStateRun), STATUS_SUCCESS);
        ASSERT_EQ(render.setState(render.stream, kWdmStateRun), STATUS_SUCCESS);
        run_ms(20);
        EXPECT_EQ(root_.probe().runningClients, 2u);
        adapterLog_.take_events();
        if (round == 0) {
            EXPECT_EQ(child_->close_adapter(), STATUS_SUCCESS);
        } else {
            root_.ports().unplug(root_.ports().ports().front().number);
            EXPECT_TRUE(root_.children().empty());
        }
        ArbiterProbe a = arbiter();
        EXPECT_EQ(a.render + a.capture + a.asio, 0);
        EXPECT_EQ(a.clients, 0u);
        EXPECT_EQ(root_.probe().runningClients, 0u);
        EXPECT_EQ(platform::pool::outstanding_bytes(kWdmPoolTag), ringBytes);
        if (round == 0) {
            ASSERT_EQ(child_->open(&reply_, &adapterLog_), STATUS_SUCCESS);
        }
    }
}

// A rate change tells the child once per change, from a worker at PASSIVE_LEVEL; device loss
// reaches it while streams are open, and nothing is said when none is.
TEST_F(WdmStreamTest, TheChildHearsOfChangesAndLoss) {
    adapterLog_.take_events();
    HANDLE pal = OpenPal();
    ASSERT_EQ(Bus(pal, vexa::pal::kDcpBusSetSampleRate, nullptr, 8, U32Data(44100)).status, STATUS_SUCCESS);
    CloseHandle(pal);
    root_.machine().workers().drain();
    EXPECT_EQ(adapterLog_.take_events(), (std::vector<uint32_t>{kWdmEventChangeBegin, kWdmEventChangeEnd}));
    EXPECT_EQ(root_.notify_clients(kDeviceLostEvent), STATUS_SUCCESS);
    root_.machine().workers().drain();
    EXPECT_TRUE(adapterLog_.take_events().empty()) << "no stream open: nothing to tell";
    ChildLog log;
    OpenedStream render = child_->open_stream(kWdmRender, 44100, 24, 2, &log);
    ASSERT_EQ(render.status, STATUS_SUCCESS);
    EXPECT_EQ(root_.notify_clients(kDeviceLostEvent), STATUS_SUCCESS);
    root_.machine().workers().drain();
    EXPECT_EQ(adapterLog_.take_events(), (std::vector<uint32_t>{kWdmEventChangeBegin, kWdmEventChangeEnd}));
    std::lock_guard guard(adapterLog_.lock);
    for (uint8_t irql : adapterLog_.eventIrqls) EXPECT_EQ(irql, PASSIVE_LEVEL);
}

// A stream whose packets have no channels logs "Device does not have any channels." once,
// not once per period.
TEST_F(WdmStreamTest, NoChannelsIsLoggedOncePerStream) {
    ChildLog log;
    OpenedStream render = child_->open_stream(kWdmRender, 48000, 24, 2, &log);
    ASSERT_EQ(render.setState(render.stream, kWdmStateRun), STATUS_SUCCESS);
    StreamState empty{};
    root_.set_stream_state(&empty);
    run_ms(20);
    root_.set_stream_state(nullptr);
    unsigned logged = 0;
    for (const auto& e : root_.machine().event_log().entries()) logged += e.errorCode == MSG_NO_CHANNELS;
    EXPECT_EQ(logged, 1u);
    EXPECT_EQ(child_->close_stream(render.stream), STATUS_SUCCESS);
}

// The child transfers from its own thread while the period callback reads the same rings:
// every access is whole and ordered (run under ThreadSanitizer), and the runs are counted.
TEST_F(WdmStreamTest, TransfersRaceThePeriodCallbackSafely) {
    ChildLog log;
    OpenedStream render = child_->open_stream(kWdmRender, 48000, 24, 2, &log);
    OpenedStream capture = child_->open_stream(kWdmCapture, 48000, 24, 2, &log);
    ASSERT_EQ(render.setState(render.stream, kWdmStateRun), STATUS_SUCCESS);
    ASSERT_EQ(capture.setState(capture.stream, kWdmStateRun), STATUS_SUCCESS);
    std::atomic<bool> stop{false};
    std::atomic<unsigned> transfers{0};
    std::thread childThread([&] {
        std::vector<uint8_t> buffer(6 * 96, 0x5A);
        while (!stop.load()) {
            render.transfer(render.stream, buffer.data(), static_cast<uint32_t>(buffer.size()));
            capture.transfer(capture.stream, buffer.data(), static_cast<uint32_t>(buffer.size()));
            transfers.fetch_add(1);
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 200 || transfers.load() < 200; ++i) run_ms(1);
    stop = true;
    childThread.join();
    // The race may have kept in step by chance: a child that stops transferring surely falls out of step.
    for (int i = 0; i < 100; ++i) run_ms(1);
    KernelClientProbe r = probe(render.stream);
    KernelClientProbe c = probe(capture.stream);
    EXPECT_LT(r.readIndex, r.ringLength);
    EXPECT_LT(r.writeIndex, r.ringLength);
    EXPECT_LT(c.readIndex, c.ringLength);
    EXPECT_LT(c.writeIndex, c.ringLength);
    EXPECT_GT(r.overruns + r.underruns + c.overruns + c.underruns, 0u) << "a child out of step with the device is counted";
    EXPECT_EQ(child_->close_stream(render.stream), STATUS_SUCCESS);
    EXPECT_EQ(child_->close_stream(capture.stream), STATUS_SUCCESS);
}

}  // namespace

// createBuffers, disposeBuffers, start and stop against the scripted root, on
// both roads: the refusals made before anything is sent, the buffers handed
// to the host, the driver's states, and the channel queries that depend on them.
#include <cstring>

#include "asio_fixture.h"
#include "platform/kernel/ntstatus.h"

namespace {

using namespace vexa::test;
using namespace vexa::asio;

class BuffersTest : public AsioDriverTest {};

// Arguments and channels are checked before anything goes to the root: no buffers, no count, no size, no
// callbacks, a channel the device lacks (its count, or negative), and a channel named twice in one direction.
TEST_P(BuffersTest, RefusedBeforeAnythingIsSent) {
    IASIO* driver = initialised();
    root().take_requests();
    auto good = buffers({0}, {0});
    EXPECT_EQ(driver->createBuffers(nullptr, 1, 256, &host_.callbacks), ASE_InvalidParameter);
    EXPECT_EQ(driver->createBuffers(good.data(), 0, 256, &host_.callbacks), ASE_InvalidParameter);
    EXPECT_EQ(driver->createBuffers(good.data(), -1, 256, &host_.callbacks), ASE_InvalidParameter);
    EXPECT_EQ(driver->createBuffers(good.data(), 2, 0, &host_.callbacks), ASE_InvalidParameter);
    EXPECT_EQ(driver->createBuffers(good.data(), 2, 256, nullptr), ASE_InvalidParameter);
    const std::vector<std::vector<ASIOBufferInfo>> refused = {
        buffers({0}, {2}),     // input == inputCount
        buffers({4}),          // output == outputCount
        buffers({-1}),         // negative
        buffers({0}, {-5}),    // negative input
        buffers({1, 0, 1}),    // output named twice
        buffers({0}, {1, 1}),  // input named twice
    };
    for (auto infos : refused) EXPECT_EQ(create_buffers(driver, infos), ASE_InvalidParameter);
    EXPECT_TRUE(root().codes().empty()) << "nothing was sent";
    // The same number in both directions is two channels, not a duplicate.
    auto both = buffers({1}, {1});
    EXPECT_EQ(create_buffers(driver, both), ASE_OK);
}

// The request names the channels asked for; each host buffer is the root's address for its channel, its second
// half bufferSize samples on; the sizes are the host's.
TEST_P(BuffersTest, BuffersComeFromTheReply) {
    IASIO* driver = initialised();
    root().take_requests();
    auto infos = buffers({3, 0}, {1});
    ASSERT_EQ(create_buffers(driver, infos, 96), ASE_OK);
    auto requests = root().take_requests();
    ASSERT_GE(requests.size(), 1u);
    EXPECT_EQ(requests[0].code, kIoctlAsioCreateBuffers);
    EXPECT_EQ(requests[0].inputBytes, 7704u);
    EXPECT_EQ(requests[0].outputBytes, 7704u);
    auto sent = requests[0].as<AsioCreateBuffersRequest>();
    EXPECT_EQ(sent.bufferSize, 96u);
    EXPECT_EQ(sent.channelCount, 3u);
    EXPECT_EQ(sent.result, ASE_NotPresent) << "preset as every request's result";
    for (uint32_t n = 0; n < kAsioMaxChannels; ++n) {
        EXPECT_EQ(sent.outputEnable[n], n == 0 || n == 3 ? 1u : 0u) << n;
        EXPECT_EQ(sent.inputEnable[n], n == 1 ? 1u : 0u) << n;
    }
    uint64_t base;
    {
        std::lock_guard guard(root().lock);
        base = root().userBuffers;
    }
    // Carved per channel in order, output before input: out 0, in 1, out 3.
    const uint64_t doubleBuffer = 96 * 4 * 2;
    EXPECT_EQ(reinterpret_cast<uint64_t>(infos[1].buffers[0]), base);
    EXPECT_EQ(reinterpret_cast<uint64_t>(infos[2].buffers[0]), base + doubleBuffer);
    EXPECT_EQ(reinterpret_cast<uint64_t>(infos[0].buffers[0]), base + 2 * doubleBuffer);
    for (const ASIOBufferInfo& info : infos) {
        EXPECT_EQ(static_cast<char*>(info.buffers[1]) - static_cast<char*>(info.buffers[0]), 96 * 4);
        // The host may write its halves: they are the root's memory mapped into it.
        std::memset(info.buffers[0], 0x5A, 96 * 4 * 2);
    }
    // The host's messages about itself, in order.
    EXPECT_EQ(host_.messages(), (std::vector<int32_t>{kAsioEngineVersion, kAsioSupportsTimeInfo, kAsioSupportsTimeCode,
                                                      1000 + kAsioResetRequest, 1000 + kAsioResyncRequest,
                                                      1000 + kAsioBufferSizeChange, 1000 + kAsioLatenciesChanged,
                                                      1000 + kAsioOverload}));
}

// A root that answers success without a buffer for a channel: the call fails, the root's buffers are disposed,
// and nothing of the attempt stays (the host may create buffers again).
TEST_P(BuffersTest, ZeroBufferAddressFailsAndDisposes) {
    IASIO* driver = initialised();
    {
        std::lock_guard guard(root().lock);
        root().zeroOutputBuffer = 1;
    }
    root().take_requests();
    auto infos = buffers({0, 1});
    EXPECT_EQ(create_buffers(driver, infos), ASE_NoMemory);
    EXPECT_EQ(root().codes(), (std::vector<uint32_t>{kIoctlAsioCreateBuffers, kIoctlAsioDisposeBuffers}));
    EXPECT_EQ(infos[0].buffers[0], nullptr) << "the host gets no half of a failed call";
    EXPECT_EQ(driver->start(), ASE_InvalidMode) << "no callbacks were kept";
    {
        std::lock_guard guard(root().lock);
        root().zeroOutputBuffer = -1;
    }
    EXPECT_EQ(create_buffers(driver, infos), ASE_OK);
}

// The driver's states: start without buffers, a second createBuffers on a prepared driver (the connection left
// alone), a second start, stop when stopped, dispose while started, and a dispose the root refuses.
TEST_P(BuffersTest, StateMachine) {
    IASIO* driver = initialised();
    root().take_requests();
    EXPECT_EQ(driver->start(), ASE_InvalidMode);
    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(driver->disposeBuffers(), ASE_InvalidMode);
    EXPECT_TRUE(root().codes().empty()) << "none of these reach the root";

    auto infos = buffers({0, 1});
    ASSERT_EQ(create_buffers(driver, infos), ASE_OK);
    auto again = buffers({2});
    EXPECT_EQ(create_buffers(driver, again), ASE_InvalidMode);
    EXPECT_EQ(root().codes(), (std::vector<uint32_t>{kIoctlAsioCreateBuffers})) << "the second sent nothing";

    EXPECT_EQ(driver->start(), ASE_OK);
    EXPECT_EQ(driver->start(), ASE_OK);
    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(codes_since(1), (std::vector<uint32_t>{kIoctlAsioStart, kIoctlAsioStop}));

    root().take_requests();
    EXPECT_EQ(driver->start(), ASE_OK);
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(root().codes(), (std::vector<uint32_t>{kIoctlAsioStart, kIoctlAsioStop, kIoctlAsioDisposeBuffers}))
        << "disposing a started driver stops it first";
    EXPECT_EQ(driver->start(), ASE_InvalidMode);

    // A refused start leaves the driver stopped.
    ASSERT_EQ(create_buffers(driver, infos), ASE_OK);
    {
        std::lock_guard guard(root().lock);
        root().results[kIoctlAsioStart] = ASE_InvalidParameter;
    }
    EXPECT_EQ(driver->start(), ASE_InvalidParameter);
    root().take_requests();
    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_TRUE(root().codes().empty()) << "not started: nothing to stop";

    // A dispose the root refuses is reported; the driver lets its buffers go all the same, so the host can go on.
    {
        std::lock_guard guard(root().lock);
        root().results.clear();
        root().results[kIoctlAsioDisposeBuffers] = ASE_InvalidParameter;
    }
    EXPECT_EQ(driver->disposeBuffers(), ASE_InvalidParameter);
    EXPECT_EQ(driver->disposeBuffers(), ASE_InvalidMode) << "the callbacks went";
    {
        std::lock_guard guard(root().lock);
        root().results.clear();
        root().failures[kIoctlAsioDisposeBuffers] = STATUS_INSUFFICIENT_RESOURCES;
    }
    ASSERT_EQ(create_buffers(driver, infos), ASE_OK);
    EXPECT_EQ(driver->disposeBuffers(), ASE_NotPresent) << "a failed request is reported too";
    ASIOChannelInfo info{0, ASIOFalse, -1, 7, 0, {}};
    EXPECT_EQ(driver->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.isActive, ASIOFalse) << "the active lists were cleared";
}

// Requests fail as -1000 when the root does not complete them, and before init, when there is no connection.
TEST_P(BuffersTest, FailedRequestsAreNotPresent) {
    IASIO* driver = create();
    auto infos = buffers({0});
    EXPECT_EQ(create_buffers(driver, infos), ASE_InvalidParameter) << "before init the device has no channels";
    EXPECT_EQ(driver->canSampleRate(48000), ASE_NotPresent);
    int32_t size = -7;
    EXPECT_EQ(driver->getBufferSize(&size, nullptr, nullptr, nullptr), ASE_NotPresent);
    EXPECT_EQ(size, -7);
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    for (uint32_t code : {kIoctlAsioCreateBuffers, kIoctlAsioStart, kIoctlAsioStop}) {
        std::lock_guard guard(root().lock);
        root().failures[code] = STATUS_UNSUCCESSFUL;
    }
    EXPECT_EQ(create_buffers(driver, infos), ASE_NotPresent);
    {
        std::lock_guard guard(root().lock);
        root().failures.erase(kIoctlAsioCreateBuffers);
    }
    ASSERT_EQ(create_buffers(driver, infos), ASE_OK);
    EXPECT_EQ(driver->start(), ASE_NotPresent);
    EXPECT_EQ(driver->stop(), ASE_OK) << "the failed start left it stopped";
    {
        std::lock_guard guard(root().lock);
        root().failures.erase(kIoctlAsioStart);
    }
    EXPECT_EQ(driver->start(), ASE_OK);
    EXPECT_EQ(driver->stop(), ASE_NotPresent);
}

// Channel information: the device's names, the sample type, active only for the channels with buffers, the
// host's group untouched; channels past the count (and past 320) refused; names always terminated.
TEST_P(BuffersTest, ChannelInfo) {
    {
        std::lock_guard guard(root().lock);
        std::memset(root().info.outputNames[2], 'N', kAsioNameBytes);  // a name that fills its slot
    }
    IASIO* driver = initialised();
    int32_t inputs = 0;
    int32_t outputs = 0;
    EXPECT_EQ(driver->getChannels(&inputs, &outputs), ASE_OK);
    EXPECT_EQ(inputs, 2);
    EXPECT_EQ(outputs, 4);
    EXPECT_EQ(driver->getChannels(nullptr, nullptr), ASE_OK);
    auto infos = buffers({0, 1}, {1});
    ASSERT_EQ(create_buffers(driver, infos), ASE_OK);

    struct Expect {
        int32_t channel;
        ASIOBool isInput;
        ASIOBool active;
        const char* name;
    };
    for (const Expect& e : {Expect{3, ASIOFalse, ASIOFalse, "Output 4"}, Expect{1, ASIOFalse, ASIOTrue, "Output 2"},
                            Expect{0, ASIOTrue, ASIOFalse, "Input 1"}, Expect{1, ASIOTrue, ASIOTrue, "Input 2"}}) {
        ASIOChannelInfo info{e.channel, e.isInput, -1, 42, -1, {}};
        ASSERT_EQ(driver->getChannelInfo(&info), ASE_OK);
        EXPECT_EQ(info.isActive, e.active) << e.name;
        EXPECT_EQ(info.type, ASIOSTInt32LSB);
        EXPECT_EQ(info.channelGroup, 42) << "left as the host set it";
        EXPECT_STREQ(info.name, e.name);
    }
    ASIOChannelInfo full{2, ASIOFalse, 0, 0, 0, {}};
    ASSERT_EQ(driver->getChannelInfo(&full), ASE_OK);
    EXPECT_EQ(std::string(full.name), std::string(kAsioNameBytes - 1, 'N')) << "cut by one to keep its terminator";
    for (ASIOChannelInfo info : {ASIOChannelInfo{4, ASIOFalse, 0, 0, 0, {}}, ASIOChannelInfo{2, ASIOTrue, 0, 0, 0, {}},
                                 ASIOChannelInfo{-1, ASIOFalse, 0, 0, 0, {}}}) {
        EXPECT_EQ(driver->getChannelInfo(&info), ASE_InvalidParameter) << info.channel;
    }
    EXPECT_EQ(driver->getChannelInfo(nullptr), ASE_InvalidParameter);
}

// A device reporting more channels than the requests carry: the counts are held at 320, and channel 320 is
// refused in every call rather than read past the tables.
TEST_P(BuffersTest, ChannelCountsAreClamped) {
    {
        std::lock_guard guard(root().lock);
        root().info.outputChannels = 400;
        root().info.inputChannels = 1000;
    }
    IASIO* driver = initialised();
    int32_t inputs = 0;
    int32_t outputs = 0;
    EXPECT_EQ(driver->getChannels(&inputs, &outputs), ASE_OK);
    EXPECT_EQ(inputs, 320);
    EXPECT_EQ(outputs, 320);
    ASIOChannelInfo info{319, ASIOTrue, 0, 0, 0, {}};
    EXPECT_EQ(driver->getChannelInfo(&info), ASE_OK);
    info.channel = 320;
    EXPECT_EQ(driver->getChannelInfo(&info), ASE_InvalidParameter);
    root().take_requests();
    auto infos = buffers({320});
    EXPECT_EQ(create_buffers(driver, infos), ASE_InvalidParameter);
    EXPECT_TRUE(root().codes().empty());
    std::vector<ASIOBufferInfo> every = buffers({}, {});
    for (int32_t n = 0; n < 320; ++n) {
        every.push_back(ASIOBufferInfo{ASIOFalse, n, {}});
        every.push_back(ASIOBufferInfo{ASIOTrue, n, {}});
    }
    EXPECT_EQ(create_buffers(driver, every, 32), ASE_OK) << "all 640 channels at once";
    every.push_back(ASIOBufferInfo{ASIOTrue, 0, {}});
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(create_buffers(driver, every, 32), ASE_InvalidParameter) << "641 entries cannot all be distinct";
}

INSTANTIATE_TEST_SUITE_P(Roads, BuffersTest, ::testing::Values(Road::Local, Road::Socket), RoadName);

}  // namespace

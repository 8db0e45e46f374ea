// The root driver's ASIO interface from a host's side: exact lengths, every
// state's answer to every code, the context token, buffer sizes and rates,
// the device info, the event handles, a failed mapping, and a 32-bit host's
// slots.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/kernel/fault.h"
#include "platform/machine/registry.h"
#include "tests/driver/usb/win/vexa_usb_swroot/asio_fixture.h"

namespace {

using namespace vexa::asio;
using namespace vexa::pal;
using namespace vexa::test;

// Bytes that are not zero on the page of the block at `address`, outside the block.
size_t NonZeroBytesBesideTheBlock(uint64_t address) {
    const uint64_t offset = address % PAGE_SIZE;
    const auto* page = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(address - offset));
    size_t nonZero = 0;
    for (uint64_t i = 0; i < PAGE_SIZE; ++i) {
        if (i < offset || i >= offset + sizeof(AsioSharedBlock)) nonZero += page[i] != 0;
    }
    return nonZero;
}

constexpr uint32_t kCodes[] = {kIoctlAsioGetVersion,     kIoctlAsioGetInfo,       kIoctlAsioOpen,
                               kIoctlAsioClose,          kIoctlAsioCreateBuffers, kIoctlAsioDisposeBuffers,
                               kIoctlAsioStart,          kIoctlAsioStop,          kIoctlAsioGetBufferSize,
                               kIoctlAsioCanSampleRate,  kIoctlAsioSetSampleRate};
constexpr uint32_t kLengths[] = {8, 20512, 64, 16, 7704, 16, 16, 16, 32, 16, 16};

class AsioInterfaceTest : public AsioTest {};

// A length one off either way is refused with no data, also where only the input is wrong; unknown codes do nothing.
TEST_F(AsioInterfaceTest, LengthsAreExactAndUnknownCodesAreNotImplemented) {
    AsioInterfaceClient& h = host_in(1);
    std::vector<uint8_t> buffer(20600, 0xEE);
    for (size_t i = 0; i < std::size(kCodes); ++i) {
        for (uint32_t length : {kLengths[i] - 1, kLengths[i] + 1}) {
            std::fill(buffer.begin(), buffer.end(), 0xEE);
            Sent sent = Send(h.handle(), kCodes[i], buffer.data(), kLengths[i], buffer.data(), length);
            EXPECT_EQ(sent.status, STATUS_INVALID_PARAMETER) << std::hex << kCodes[i] << " output " << length;
            EXPECT_EQ(sent.bytes, 0u);
        }
        if (kCodes[i] == kIoctlAsioGetVersion || kCodes[i] == kIoctlAsioGetInfo) continue;
        for (uint32_t length : {kLengths[i] - 1, kLengths[i] + 1, 0u}) {
            std::fill(buffer.begin(), buffer.end(), 0);
            Sent sent = Send(h.handle(), kCodes[i], buffer.data(), length, buffer.data(), kLengths[i]);
            EXPECT_EQ(sent.status, STATUS_INVALID_PARAMETER) << std::hex << kCodes[i] << " input " << length;
        }
    }
    // The handle still answers for its open session: nothing above reached it.
    AsioBufferSizeReply sizes{};
    EXPECT_TRUE(h.buffer_size(&sizes).ok());
    for (uint32_t code : {0x22231Cu, 0x22234Cu, 0x222350u, 0x222321u}) {
        std::fill(buffer.begin(), buffer.end(), 0xEE);
        Sent sent = Send(h.handle(), code, buffer.data(), 16, buffer.data(), 16);
        EXPECT_EQ(sent.status, STATUS_NOT_IMPLEMENTED) << std::hex << code;
        EXPECT_EQ(sent.bytes, 0u);
    }
    EXPECT_TRUE(h.create_buffers(512, {0}, {0}).ok()) << "still open, nothing created";
}

// Every state (0 closed .. 5 running) answers every code as the interface says.
TEST_F(AsioInterfaceTest, EveryStateAnswersEveryCode) {
    // Results by state for: close, create, dispose, start, stop, buffer size, can rate, set rate.
    struct Row {
        uint32_t code;
        int32_t results[6];
    };
    const Row rows[] = {
        {kIoctlAsioOpen, {0, -997, -997, -997, -997, -997}},
        {kIoctlAsioClose, {-998, 0, 0, 0, 0, 0}},
        {kIoctlAsioCreateBuffers, {-998, 0, -998, -998, -998, -998}},
        {kIoctlAsioDisposeBuffers, {-998, -998, 0, 0, 0, 0}},
        {kIoctlAsioStart, {-998, -998, 0, 0, 0, 0}},
        {kIoctlAsioStop, {-998, 0, 0, 0, 0, 0}},
        {kIoctlAsioGetBufferSize, {-998, 0, 0, 0, 0, 0}},
        {kIoctlAsioCanSampleRate, {-998, 0, 0, 0, 0, 0}},
        {kIoctlAsioSetSampleRate, {-998, 0, 0, 0, 0, 0}},
    };
    for (const Row& row : rows) {
        for (uint32_t state = 0; state <= 5; ++state) {
            AsioInterfaceClient& h = host_in(state);
            AsioAnswer answer;
            AsioBufferSizeReply sizes{};
            switch (row.code) {
                case kIoctlAsioOpen: answer = h.open_session(); break;
                case kIoctlAsioClose: answer = h.close_session(); break;
                case kIoctlAsioCreateBuffers: answer = h.create_buffers(512, {0}, {0}); break;
                case kIoctlAsioDisposeBuffers: answer = h.dispose_buffers(); break;
                case kIoctlAsioStart: answer = h.start(); break;
                case kIoctlAsioStop: answer = h.stop(); break;
                case kIoctlAsioGetBufferSize: answer = h.buffer_size(&sizes); break;
                case kIoctlAsioCanSampleRate: answer = h.can_sample_rate(48000); break;
                default: answer = h.set_sample_rate(48000); break;
            }
            EXPECT_TRUE(answer.sent) << std::hex << row.code << " in state " << state;
            EXPECT_EQ(answer.result, row.results[state]) << std::hex << row.code << " in state " << state;
            // Version and info are answered in every state.
            AsioVersionReply version{};
            EXPECT_TRUE(h.version(&version));
            EXPECT_EQ(version.interfaceVersion, kAsioInterfaceVersion);
            EXPECT_EQ(version.driverVersion, kAsioDriverVersion);
            auto info = std::make_unique<AsioDeviceInfo>();
            EXPECT_EQ(h.info(info.get()).result, ASE_OK) << "in state " << state;
            hosts_.clear();  // five connections at most
        }
    }
}

// The context is a token of the handle's own open: another handle's, a stale or a made-up one reaches nothing.
TEST_F(AsioInterfaceTest, TheContextIsTheHandlesOwnToken) {
    AsioInterfaceClient& a = host_in(2);
    AsioInterfaceClient& b = host_in(2);
    EXPECT_NE(a.context(), b.context());
    EXPECT_NE(a.context(), 0u);
    EXPECT_NE(a.context(), a.block_address()) << "never an address";
    uint64_t own = a.context();
    a.set_context(b.context());
    EXPECT_EQ(a.start().result, ASE_InvalidParameter);
    EXPECT_EQ(a.close_session().result, ASE_InvalidParameter);
    a.set_context(own + 1000);
    EXPECT_EQ(a.dispose_buffers().result, ASE_InvalidParameter);
    // Neither connection was touched: both still start from their prepared state.
    a.set_context(own);
    EXPECT_TRUE(a.start().ok());
    EXPECT_TRUE(b.start().ok());
    EXPECT_TRUE(a.stop().ok());
    // A closed session's token is stale, and a new open hands out a new one.
    EXPECT_TRUE(a.close_session().ok());
    EXPECT_EQ(a.close_session().result, ASE_InvalidParameter) << "closing twice is harmless";
    EXPECT_TRUE(a.open_session().ok());
    EXPECT_NE(a.context(), own);
    a.set_context(own);
    AsioBufferSizeReply sizes{};
    EXPECT_EQ(a.buffer_size(&sizes).result, ASE_InvalidParameter);
}

// 96 frames at 48 kHz is a whole number of granules; 100 is not; 4096 is above the band's 2048.
TEST_F(AsioInterfaceTest, CreateBuffersChecksTheSize) {
    AsioInterfaceClient& h = host_in(1);
    EXPECT_EQ(h.create_buffers(100, {0}, {0}).result, ASE_InvalidMode);
    EXPECT_EQ(h.create_buffers(4096, {0}, {0}).result, ASE_InvalidMode);
    EXPECT_EQ(h.create_buffers(0, {0}, {0}).result, ASE_InvalidMode);
    EXPECT_EQ(ReadSettings(pal_).bufferSize, 512u) << "a refused size changes nothing";
    ASSERT_TRUE(h.create_buffers(96, {0}, {0}).ok());
    EXPECT_EQ(ReadSettings(pal_).bufferSize, 96u) << "a size in range becomes the system's";
    EXPECT_EQ(h.output_address(0) % PAGE_SIZE, 0u);
    EXPECT_EQ(h.input_address(0), h.output_address(0) + 96 * 8) << "output before input, two halves each";
}

// Requests the device or the client's maps cannot serve are refused before any ring is touched.
TEST_F(AsioInterfaceTest, CreateBuffersRefusesWhatCannotBeServed) {
    AsioInterfaceClient& h = host_in(1);
    EXPECT_EQ(h.create_buffers(512, {64}, {}).result, ASE_InvalidParameter) << "beyond the 64 maps";
    EXPECT_EQ(h.create_buffers(512, {}, {319}).result, ASE_InvalidParameter);
    EXPECT_EQ(h.create_buffers(512, {kQeChannels}, {}).result, ASE_InvalidParameter) << "the device lacks it";
    EXPECT_EQ(h.create_buffers(512, {0, 1, 2}, {0, 1, 2}, 2).result, ASE_InvalidParameter) << "six do not fit two";
    EXPECT_EQ(h.create_buffers(512, {0}, {0}, 0xFFFFFFFF).result, ASE_InvalidParameter) << "no region that big";
    EXPECT_EQ(asio_bytes(), 0) << "no buffers; the shared block is the client's, not a buffer";
    ASSERT_TRUE(h.create_buffers(512, {0, 1, 2}, {0, 1, 2}, 3).ok()) << "six fill three entries' region exactly";
    EXPECT_TRUE(h.dispose_buffers().ok());
    // The device went away after the open: there are no rings to take.
    root_.machine().pnp().remove(*node_);
    platform::drain_pnp_notifications();
    EXPECT_EQ(h.create_buffers(512, {0}, {0}).result, ASE_NotPresent);
}

// A create-buffers of another size that cannot have its buffers (-994, the request fails) leaves
// the system's size as it was: the bus reports it still, "Base Buffer Size" keeps it and no bus
// change is announced. One whose size the registry does not take (-997) keeps no buffers.
TEST_F(AsioInterfaceTest, ACreateBuffersThatFailsLeavesTheSizeAsItWas) {
    AsioInterfaceClient& h = host_in(1);
    auto stored = [&] {
        auto value = root_.machine().registry().get(
            u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\QUVVexaUSBRoot\\Parameters",
            u"Base Buffer Size");
        return value ? value->as_dword().value_or(0) : 0u;
    };
    auto busChanges = [&] {
        std::vector<uint32_t> kinds = Kinds(TakeNotifications(pal_));
        return std::count(kinds.begin(), kinds.end(), kPalNotifyBusChanged);
    };
    ASSERT_EQ(stored(), 512u);
    (void)busChanges();
    platform::fault::inject("MmMapLockedPagesSpecifyCache", STATUS_INSUFFICIENT_RESOURCES);
    AsioAnswer answer = h.create_buffers(96, {0}, {0});
    EXPECT_FALSE(answer.sent) << "the allocation's failure fails the request";
    EXPECT_EQ(ReadSettings(pal_).bufferSize, 512u);
    EXPECT_EQ(stored(), 512u);
    EXPECT_EQ(busChanges(), 0);
    AsioBufferSizeReply sizes{};
    ASSERT_TRUE(h.buffer_size(&sizes).ok());
    EXPECT_EQ(sizes.preferredSize, 512u);

    platform::fault::inject("WdfRegistryAssignULong", STATUS_ACCESS_DENIED);
    answer = h.create_buffers(96, {0}, {0});
    EXPECT_TRUE(answer.sent);
    EXPECT_EQ(answer.result, ASE_InvalidMode);
    EXPECT_EQ(asio_bytes(), 0) << "no buffers are kept at a size the system refused";
    EXPECT_EQ(platform::mdl::user_mappings().size(), 1u) << "the block's only";
    EXPECT_EQ(ReadSettings(pal_).bufferSize, 512u);
    EXPECT_EQ(busChanges(), 0);

    ASSERT_TRUE(h.create_buffers(96, {0}, {0}).ok()) << "still open";
    EXPECT_EQ(ReadSettings(pal_).bufferSize, 96u);
    EXPECT_EQ(stored(), 96u);
    EXPECT_EQ(busChanges(), 1);
}

// A second connection fixes the size and the rate; a lone one may change both.
TEST_F(AsioInterfaceTest, ASecondClientSeesFixedSizesAndRates) {
    AsioInterfaceClient& a = host_in(1);
    AsioBufferSizeReply sizes{};
    ASSERT_TRUE(a.buffer_size(&sizes).ok());
    EXPECT_EQ(sizes.minSize, 48u);
    EXPECT_EQ(sizes.maxSize, 2048u);
    EXPECT_EQ(sizes.preferredSize, 512u);
    EXPECT_EQ(sizes.granularity, -1);
    EXPECT_EQ(a.can_sample_rate(96000).result, ASE_OK);
    EXPECT_EQ(a.can_sample_rate(12345).result, ASE_NoClock) << "the device lacks it";

    AsioInterfaceClient& b = host_in(1);
    for (AsioInterfaceClient* h : {&a, &b}) {
        ASSERT_TRUE(h->buffer_size(&sizes).ok());
        EXPECT_EQ(sizes.granularity, 0);
        EXPECT_EQ(sizes.minSize, 512u);
        EXPECT_EQ(sizes.maxSize, 512u);
        EXPECT_EQ(sizes.preferredSize, 512u);
        EXPECT_EQ(h->can_sample_rate(96000).result, ASE_NoClock);
        EXPECT_EQ(h->set_sample_rate(96000).result, ASE_NoClock);
        EXPECT_EQ(h->can_sample_rate(48000).result, ASE_OK);
        EXPECT_EQ(h->set_sample_rate(48000).result, ASE_OK) << "the rate that runs";
    }
    EXPECT_EQ(ReadSettings(pal_).sampleRate, 48000u);
    hosts_.pop_back();
    ASSERT_TRUE(a.set_sample_rate(96000).ok()) << "alone again";
    EXPECT_EQ(ReadSettings(pal_).sampleRate, 96000u);
    ASSERT_TRUE(a.buffer_size(&sizes).ok());
    EXPECT_EQ(sizes.preferredSize, 1024u) << "the base size carries into the band";
    EXPECT_TRUE(a.wait(AsioInterfaceClient::kReset, 0)) << "the rate change asks the host to reset";
}

// Latencies: the period, the device's own and the USB driver's frames; the block carries them after open.
TEST_F(AsioInterfaceTest, OpenWritesTheLatencies) {
    AsioInterfaceClient& h = host_in(1);
    uint32_t input = 0;
    uint32_t output = 0;
    ASSERT_EQ(root_.latencies(&input, &output), STATUS_SUCCESS);
    EXPECT_EQ(h.input_latency(), static_cast<int32_t>(input));
    EXPECT_EQ(h.output_latency(), static_cast<int32_t>(output));
    auto info = std::make_unique<AsioDeviceInfo>();
    ASSERT_TRUE(h.info(info.get()).ok());
    EXPECT_EQ(info->inputLatency, input);
    EXPECT_EQ(info->outputLatency, output);
    EXPECT_EQ(info->sampleRate, 48000u);
    EXPECT_EQ(info->bufferSize, 512u);
    // An operation-mode change tells the host the latencies moved.
    EXPECT_EQ(Bus(pal_, kDcpBusSetOperationMode, nullptr, 8, U32Data(4)).status, STATUS_SUCCESS);
    EXPECT_TRUE(h.wait(AsioInterfaceClient::kLatency, 0));
    ASSERT_EQ(root_.latencies(&input, &output), STATUS_SUCCESS);
    EXPECT_EQ(h.output_latency(), static_cast<int32_t>(output));
}

// An absurd device latency: the device info and the shared block tell the host the same, the
// largest frame count, neither a 32-bit sum wrapped to a small one.
TEST_F(AsioInterfaceTest, InfoAndTheBlockSaturateLatenciesAlike) {
    set_device_latencies(0xFFFFFF00, 0x7FFFFFF0);
    root_.machine().pnp().remove(*node_);
    platform::drain_pnp_notifications();
    plug_fake();
    AsioInterfaceClient& h = host_in(1);
    auto info = std::make_unique<AsioDeviceInfo>();
    ASSERT_TRUE(h.info(info.get()).ok());
    EXPECT_EQ(info->outputLatency, 0x7FFFFFFFu);
    EXPECT_EQ(info->inputLatency, 0x7FFFFFFFu);
    EXPECT_EQ(h.output_latency(), static_cast<int32_t>(info->outputLatency));
    EXPECT_EQ(h.input_latency(), static_cast<int32_t>(info->inputLatency));
}

// A bad handle, a handle of another type or another process's handle ends the open: nothing is held.
TEST_F(AsioInterfaceTest, OpenRefusesEveryBadEventHandle) {
    AsioInterfaceClient& h = host();
    auto other = platform::win32::create_local_process(false, "other");
    HANDLE foreign;
    {
        platform::win32::ScopedProcess as(other);
        for (int i = 0; i < 8; ++i) foreign = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }
    HANDLE good = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    const int64_t objects = object_bytes();
    for (HANDLE bad : {reinterpret_cast<HANDLE>(0x7770), h.handle(), foreign, static_cast<HANDLE>(nullptr)}) {
        for (size_t slot = 0; slot < 4; ++slot) {
            AsioOpenRequest request{};
            uint64_t handles[4] = {reinterpret_cast<uint64_t>(good), reinterpret_cast<uint64_t>(good),
                                   reinterpret_cast<uint64_t>(good), reinterpret_cast<uint64_t>(good)};
            handles[slot] = reinterpret_cast<uint64_t>(bad);
            std::memcpy(&request.switchEvent, handles, sizeof(handles));
            Sent sent = Send(h.handle(), kIoctlAsioOpen, &request, sizeof(request), &request, sizeof(request));
            EXPECT_EQ(sent.status, STATUS_SUCCESS);
            EXPECT_EQ(request.result, ASE_NoMemory) << "slot " << slot;
            EXPECT_EQ(request.sharedBlock, 0u);
            EXPECT_EQ(object_bytes(), objects) << "no shared block";
            EXPECT_TRUE(platform::mdl::user_mappings().empty());
        }
    }
    EXPECT_TRUE(h.open_session().ok()) << "the state stayed closed";
    CloseHandle(good);
}

// A failed mapping answers -994 and leaves nothing behind; the connection is as it was.
TEST_F(AsioInterfaceTest, AFailedMappingLeavesNothingBehind) {
    AsioInterfaceClient& h = host();
    const int64_t objects = object_bytes();
    platform::fault::inject("MmMapLockedPagesSpecifyCache", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(h.open_session().result, ASE_NoMemory);
    EXPECT_EQ(object_bytes(), objects) << "the block's page is freed";
    EXPECT_EQ(platform::mdl::outstanding(), 0u);
    EXPECT_TRUE(platform::mdl::user_mappings().empty());
    ASSERT_TRUE(h.open_session().ok());
    // The buffers' mapping fails: the request fails (the host sees -1000), the session keeps only its block.
    platform::fault::inject("MmMapLockedPagesSpecifyCache", STATUS_INSUFFICIENT_RESOURCES);
    AsioAnswer answer = h.create_buffers(512, {0}, {0});
    EXPECT_FALSE(answer.sent);
    EXPECT_EQ(answer.error, ERROR_NO_SYSTEM_RESOURCES);
    EXPECT_EQ(asio_bytes(), 0);
    EXPECT_EQ(platform::mdl::user_mappings().size(), 1u) << "the block's";
    platform::fault::inject("IoAllocateMdl", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(h.create_buffers(512, {0}, {0}).sent);
    EXPECT_EQ(platform::mdl::outstanding(), 1u);
    ASSERT_TRUE(h.create_buffers(512, {0}, {0}).ok()) << "still open";
    // What is mapped is uncached and not executable, as Windows 10 maps it.
    for (const auto& mapping : platform::mdl::user_mappings()) {
        EXPECT_EQ(mapping.cacheType, MmNonCached);
        EXPECT_TRUE(mapping.noExecute);
        EXPECT_EQ(mapping.processId, GetCurrentProcessId());
    }
    EXPECT_TRUE(h.close_session().ok());
    EXPECT_EQ(asio_bytes(), 0);
    EXPECT_EQ(object_bytes(), objects) << "the block went with the session";
    EXPECT_EQ(platform::mdl::outstanding(), 0u);
}

// A 32-bit host gets u32 slots (the block at +56, buffers packed at 24 + 4n and 2584 + 4n), each usable from it.
TEST_F(AsioInterfaceTest, AThirtyTwoBitHostGetsAddressesItCanUse) {
    auto process = platform::win32::create_local_process(true, "host32");
    platform::win32::ScopedProcess as(process);
    // The hosts close their handles in their own process.
    struct Closer {
        std::vector<std::unique_ptr<AsioInterfaceClient>>& hosts;
        ~Closer() { hosts.clear(); }
    } closer{hosts_};
    AsioInterfaceClient& h = host(true);
    AsioOpenRequest open{};
    std::memset(&open, 0xAB, sizeof(open));
    open.result = 0;
    HANDLE events[4];
    for (int i = 0; i < 4; ++i) {
        events[i] = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        uint32_t narrow = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(events[i]));
        std::memcpy(reinterpret_cast<uint8_t*>(&open) + 24 + 8 * i, &narrow, 4);
    }
    ASSERT_EQ(Send(h.handle(), kIoctlAsioOpen, &open, sizeof(open), &open, sizeof(open)).status, STATUS_SUCCESS);
    ASSERT_EQ(open.result, ASE_OK);
    uint32_t block;
    uint32_t beyond;
    std::memcpy(&block, reinterpret_cast<uint8_t*>(&open) + 56, 4);
    std::memcpy(&beyond, reinterpret_cast<uint8_t*>(&open) + 60, 4);
    EXPECT_NE(block, 0u);
    EXPECT_EQ(beyond, 0xABABABABu) << "a u32 slot: the next four bytes are the host's";
    for (HANDLE e : events) CloseHandle(e);

    // The stand-in opens its own session the same way and creates buffers.
    AsioInterfaceClient& host32 = host(true);
    ASSERT_TRUE(host32.open_session().ok());
    EXPECT_LT(host32.block_address() + PAGE_SIZE, uint64_t{1} << 32);
    EXPECT_EQ(NonZeroBytesBesideTheBlock(host32.block_address()), 0u) << "nothing else on the block's page";
    auto request = std::make_unique<AsioCreateBuffersRequest>();
    std::memset(request.get(), 0, sizeof(*request));
    request->context = host32.context();
    request->bufferSize = 512;
    request->channelCount = 4;
    request->outputEnable[0] = request->outputEnable[3] = 1;
    request->inputEnable[1] = request->inputEnable[3] = 1;
    ASSERT_EQ(Send(host32.handle(), kIoctlAsioCreateBuffers, request.get(), sizeof(*request), request.get(),
                   sizeof(*request)).status,
              STATUS_SUCCESS);
    ASSERT_EQ(request->result, ASE_OK);
    auto u32At = [&](size_t offset) {
        uint32_t value;
        std::memcpy(&value, reinterpret_cast<uint8_t*>(request.get()) + offset, 4);
        return value;
    };
    uint32_t out0 = u32At(24 + 4 * 0);
    uint32_t out3 = u32At(24 + 4 * 3);
    uint32_t in1 = u32At(2584 + 4 * 1);
    uint32_t in3 = u32At(2584 + 4 * 3);
    EXPECT_NE(out0, 0u);
    EXPECT_EQ(in1, out0 + 512 * 8);
    EXPECT_EQ(out3, in1 + 512 * 8);
    EXPECT_EQ(in3, out3 + 512 * 8);
    EXPECT_EQ(u32At(24 + 4 * 1), 0u) << "no slot for a channel not enabled";

    // Usable from the process: what it writes at out3 is played on channel 3; capture reaches in1.
    int32_t* output = reinterpret_cast<int32_t*>(static_cast<uintptr_t>(out3));
    for (int i = 0; i < 512; ++i) output[i] = 1000 + i;
    AsioRequest start{host32.context(), -1, 0};
    ASSERT_EQ(Send(host32.handle(), kIoctlAsioStart, &start, 16, &start, 16).status, STATUS_SUCCESS);
    ASSERT_EQ(start.result, ASE_OK);
    follow_rings();
    rings_.fill_capture(48, [](ULONG frame, ULONG channel) { return static_cast<LONG>(channel * 100000 + frame); });
    root_.period(48);
    std::vector<LONG> played = rings_.take_playback(48);
    rings_.publish();
    EXPECT_EQ(played[3], 1000);
    EXPECT_EQ(played[47 * kQeChannels + 3], 1047);
    EXPECT_EQ(played[47 * kQeChannels + 0], 0);
    const int32_t* input = reinterpret_cast<const int32_t*>(static_cast<uintptr_t>(in1));
    EXPECT_EQ(input[0], 100000);
    EXPECT_EQ(input[47], 100047);
    EXPECT_EQ(__atomic_load_n(&host32.block()->bufferIndex, __ATOMIC_ACQUIRE), 1) << "the block is the process's too";
}

// The host maps the whole page the shared block lies on: nothing of the kernel's (the client
// object, its pointers, a neighbour's pool block) may be on it besides the block. (The 32-bit
// host's page is checked in its own test, from its process.)
TEST_F(AsioInterfaceTest, TheBlocksPageShowsTheHostNothingElse) {
    AsioInterfaceClient& h = host();
    ASSERT_TRUE(h.open_session().ok());
    EXPECT_EQ(NonZeroBytesBesideTheBlock(h.block_address()), 0u);
}

// Names of a device with two outputs and two inputs fill the first slots; the rest stay zero.
TEST_F(AsioInterfaceTest, InfoNamesFillTheFirstSlotsOnly) {
    {
        std::lock_guard guard(fake_->lock);
        fake_->model = platform::device::VexaModel::CantileQk;
    }
    root_.machine().pnp().remove(*node_);
    platform::drain_pnp_notifications();
    plug_fake();
    ASSERT_EQ(Bus(pal_, kDcpBusSetSampleRate, nullptr, 8, U32Data(192000)).status, STATUS_SUCCESS);
    AsioInterfaceClient& h = host();
    auto info = std::make_unique<AsioDeviceInfo>();
    std::memset(info.get(), 0x55, sizeof(*info));
    ASSERT_TRUE(h.control(kIoctlAsioGetInfo, nullptr, 0, info.get(), sizeof(*info)));
    EXPECT_EQ(info->result, ASE_OK);
    EXPECT_EQ(info->sampleRate, 192000u);
    EXPECT_EQ(info->bufferSize, 2048u);
    EXPECT_EQ(info->outputChannels, 2u);
    EXPECT_EQ(info->inputChannels, 2u);
    EXPECT_STREQ(info->outputNames[0], "Output 1");
    EXPECT_STREQ(info->outputNames[1], "Output 2");
    EXPECT_STREQ(info->inputNames[0], "Input 1");
    EXPECT_STREQ(info->inputNames[1], "Input 2");
    std::vector<char> zero(32, 0);
    for (uint32_t slot = 2; slot < kAsioMaxChannels; ++slot) {
        EXPECT_EQ(std::memcmp(info->outputNames[slot], zero.data(), 32), 0) << slot;
        EXPECT_EQ(std::memcmp(info->inputNames[slot], zero.data(), 32), 0) << slot;
    }
}

// Without a current device the info answers -1000 and asks no device for its latencies.
TEST_F(AsioInterfaceTest, InfoWithoutADeviceAsksNoDevice) {
    AsioInterfaceClient& h = host();
    root_.machine().pnp().remove(*node_);
    platform::drain_pnp_notifications();
    fake_->take();
    auto info = std::make_unique<AsioDeviceInfo>();
    AsioAnswer answer = h.info(info.get());
    EXPECT_TRUE(answer.sent);
    EXPECT_EQ(answer.result, ASE_NotPresent);
    EXPECT_EQ(info->outputChannels, 0u);
    EXPECT_TRUE(fake_->take().empty()) << "no command went out";
}

// A device of more channels than the record names reports what the record can name, and no more.
TEST(AsioWideDeviceTest, InfoNeverRunsPastTheNameArrays) {
    RootMachine root(VEXA_TEST_DRIVER_DIR);
    FakeDeviceScript script;
    script.outputs = 400;
    script.inputs = 333;
    ASSERT_NE(root.plug(&script), nullptr);
    AsioInterfaceClient h(false);
    ASSERT_TRUE(h.open());
    auto info = std::make_unique<AsioDeviceInfo>();
    ASSERT_TRUE(h.info(info.get()).ok());
    EXPECT_EQ(info->outputChannels, kAsioMaxChannels);
    EXPECT_EQ(info->inputChannels, kAsioMaxChannels);
    EXPECT_STREQ(info->outputNames[319], "Output 320");
    EXPECT_STREQ(info->inputNames[319], "Input 320");
    // Channel 64 and beyond have no maps in the client.
    ASSERT_TRUE(h.open_session().ok());
    EXPECT_EQ(h.create_buffers(512, {100}, {}).result, ASE_InvalidParameter);
    h.close();
}

}  // namespace

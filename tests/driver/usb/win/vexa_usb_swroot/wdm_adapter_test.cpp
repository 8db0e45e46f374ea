// The WDM adapter child's requests against the root driver's test image on a
// simulated Cantile-QE, the test playing the outside WDM audio driver:
// exact lengths, one adapter per child, foreign adapters, a context that
// must exist, and the channel maps in the Parameters key.
#include "platform/kernel/fault.h"
#include "platform/machine/event_log.h"
#include "source/driver/usb/win/kernel_common/messages.h"
#include "tests/driver/usb/win/vexa_usb_swroot/wdm_child.h"

namespace {

using namespace vexa::test;

// Every WDM request of the wrong length is refused with STATUS_INVALID_PARAMETER before
// anything is written, and the adapter is then still to be opened; an unknown code is not
// implemented.
TEST_F(WdmChildTest, RequestsOfTheWrongLengthAreRefusedAndWriteNothing) {
    const struct {
        uint32_t code;
        uint32_t bytes;
    } cases[] = {
        {kIoctlWdmGetVersion, 7}, {kIoctlWdmGetVersion, 9},       {kIoctlWdmOpen, 71},
        {kIoctlWdmOpen, 73},      {kIoctlWdmOpenStream, 72},     {kIoctlWdmOpenStream, 74},
        {kIoctlWdmCanChangeFormat, 19}, {kIoctlWdmCanChangeFormat, 21}, {kIoctlWdmSetSpeakerConfig, 11},
        {kIoctlWdmSetSpeakerConfig, 13},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> buffer(80, 0xA5);
        reinterpret_cast<uint64_t*>(buffer.data())[0] = reinterpret_cast<uint64_t>(&ChildLog::Notify);
        reinterpret_cast<uint64_t*>(buffer.data())[3] = reinterpret_cast<uint64_t>(&adapterLog_);
        std::vector<uint8_t> sent = buffer;
        EXPECT_EQ(SendToChild(node_, c.code, true, buffer.data(), c.bytes), STATUS_INVALID_PARAMETER)
            << std::hex << c.code << " " << std::dec << c.bytes;
        EXPECT_EQ(buffer, sent) << std::hex << c.code;
    }
    uint8_t buffer[8] = {};
    EXPECT_EQ(SendToChild(node_, 0x2201B0, true, buffer, 8), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(arbiter().clients, 0u) << "no adapter was opened on the way";
    WdmOpen reply;
    EXPECT_EQ(child_->open(&reply, &adapterLog_), STATUS_SUCCESS);
}

// The first open fills the reply from the device and the defaults; a second open, a request
// naming another adapter and an open without a notification are refused, and the first adapter
// keeps working.
TEST_F(WdmChildTest, OneAdapterPerChildAndNoForeignOne) {
    WdmOpen bare{};
    EXPECT_EQ(child_->send(kIoctlWdmOpen, &bare), STATUS_INVALID_PARAMETER) << "no notification";
    WdmOpen reply;
    ASSERT_EQ(child_->open(&reply, &adapterLog_), STATUS_SUCCESS);
    EXPECT_EQ(reply.speakerConfig, 3u);
    EXPECT_EQ(reply.renderBitDepth, 24u);
    EXPECT_EQ(reply.captureBitDepth, 24u);
    EXPECT_EQ(reply.outputChannels, 10u);
    EXPECT_EQ(reply.inputChannels, 10u);
    EXPECT_EQ(reply.lowestRate, 44100u);
    EXPECT_EQ(reply.highestRate, 192000u);
    EXPECT_NE(reply.closeStream, 0u);
    EXPECT_NE(reply.closeAdapter, 0u);
    EXPECT_NE(reply.adapter, 0u);
    EXPECT_EQ(arbiter().clients, 1u) << "the adapter's own client takes a slot";

    ChildLog other;
    WdmOpen second{};
    second.notify = reinterpret_cast<uint64_t>(&ChildLog::Notify);
    second.notifyContext = reinterpret_cast<uint64_t>(&other);
    EXPECT_EQ(child_->send(kIoctlWdmOpen, &second), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(arbiter().clients, 1u);

    uint64_t foreign = reply.adapter + 64;
    ChildLog streamLog;
    EXPECT_EQ(child_->open_stream(kWdmRender, 48000, 24, 2, &streamLog, foreign).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(child_->may_change(kWdmRender, nullptr, foreign), -1);
    WdmSpeakerConfig speaker{foreign, 7};
    EXPECT_EQ(child_->send(kIoctlWdmSetSpeakerConfig, &speaker), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(parameter(u"Out Speaker Config").has_value());

    // The first adapter is untouched by all of that.
    uint32_t rate = 0;
    EXPECT_EQ(child_->may_change(kWdmRender, &rate), 1);
    EXPECT_EQ(rate, 48000u);
    speaker.adapter = reply.adapter;
    EXPECT_EQ(child_->send(kIoctlWdmSetSpeakerConfig, &speaker), STATUS_SUCCESS);
    EXPECT_EQ(parameter(u"Out Speaker Config")->as_dword(), 7u);
    OpenedStream stream = child_->open_stream(kWdmRender, 48000, 24, 2, &streamLog);
    ASSERT_EQ(stream.status, STATUS_SUCCESS);
    EXPECT_EQ(child_->close_stream(stream.stream), STATUS_SUCCESS);
    EXPECT_EQ(child_->close_adapter(), STATUS_SUCCESS);
    EXPECT_EQ(arbiter().clients, 0u);
}

// An open that fails on the way (a registry write, the work item, the Parameters key) logs the
// failure, answers with its status and leaves nothing open: no client in the manager, and the
// next open starts afresh.
TEST_F(WdmChildTest, AFailedOpenLeavesNothingOpen) {
    const struct {
        const char* call;
        NTSTATUS status;
        uint32_t message;
    } cases[] = {
        {"WdfRegistryAssignValue", STATUS_ACCESS_DENIED, MSG_REGISTRY_WRITE_FAILED},
        {"WdfWorkItemCreate", STATUS_INSUFFICIENT_RESOURCES, 0},
        {"WdfDriverOpenParametersRegistryKey", STATUS_ACCESS_DENIED, MSG_REGISTRY_OPEN_FAILED},
    };
    for (const auto& c : cases) {
        size_t logged = root_.machine().event_log().entries().size();
        platform::fault::inject(c.call, c.status, 0, 1);
        WdmOpen reply;
        EXPECT_EQ(child_->open(&reply, &adapterLog_), c.status) << c.call;
        platform::fault::clear();
        EXPECT_EQ(arbiter().clients, 0u) << c.call;
        auto entries = root_.machine().event_log().entries();
        if (c.message != 0) {
            ASSERT_GT(entries.size(), logged) << c.call;
            EXPECT_EQ(entries.back().errorCode, c.message) << c.call;
            EXPECT_EQ(entries.back().finalStatus, c.status) << c.call;
        }
    }
    WdmOpen reply;
    EXPECT_EQ(child_->open(&reply, &adapterLog_), STATUS_SUCCESS);
    EXPECT_EQ(arbiter().clients, 1u);
}

// A driver that closes twice, or hands back a handle that is none of its own: the handle is only
// looked for among the open streams and adapters, never read, so a stream or adapter closed
// already (freed, its memory perhaps holding something else by now) and a made-up one are
// refused with STATUS_INVALID_PARAMETER; what is still open keeps working and closes.
TEST_F(WdmChildTest, HandlesThatAreNotOpenAreRefusedUnread) {
    WdmOpen reply;
    ASSERT_EQ(child_->open(&reply, &adapterLog_), STATUS_SUCCESS);
    ChildLog renderLog;
    ChildLog captureLog;
    OpenedStream render = child_->open_stream(kWdmRender, 48000, 24, 2, &renderLog);
    OpenedStream capture = child_->open_stream(kWdmCapture, 48000, 24, 2, &captureLog);
    ASSERT_EQ(render.status, STATUS_SUCCESS);
    ASSERT_EQ(capture.status, STATUS_SUCCESS);
    // Memory a freed object's place may hold once it is used again: any field read from it is garbage.
    std::vector<uint8_t> reused(1 << 16, 0xA5);
    EXPECT_EQ(child_->close_stream(reused.data()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(child_->close_adapter(reused.data()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(child_->close_stream(reinterpret_cast<void*>(reply.adapter)), STATUS_INVALID_PARAMETER)
        << "an adapter is no stream";
    EXPECT_EQ(child_->close_adapter(render.stream), STATUS_INVALID_PARAMETER) << "a stream is no adapter";
    EXPECT_EQ(arbiter().clients, 3u) << "nothing was closed";

    EXPECT_EQ(child_->close_stream(render.stream), STATUS_SUCCESS);
    EXPECT_EQ(child_->close_stream(render.stream), STATUS_INVALID_PARAMETER) << "closed already";
    EXPECT_EQ(arbiter().render, 0);
    EXPECT_EQ(arbiter().capture, 1) << "the other stream is untouched";
    EXPECT_EQ(child_->close_adapter(), STATUS_SUCCESS) << "closes the capture stream with it";
    EXPECT_EQ(arbiter().clients, 0u);
    EXPECT_EQ(child_->close_stream(capture.stream), STATUS_INVALID_PARAMETER) << "went with its adapter";
    EXPECT_EQ(child_->close_adapter(), STATUS_INVALID_PARAMETER) << "closed already";
    EXPECT_EQ(arbiter().clients, 0u);

    // The child opens again and works as before.
    ASSERT_EQ(child_->open(&reply, &adapterLog_), STATUS_SUCCESS);
    OpenedStream again = child_->open_stream(kWdmRender, 48000, 24, 2, &renderLog);
    ASSERT_EQ(again.status, STATUS_SUCCESS);
    EXPECT_EQ(child_->close_stream(again.stream), STATUS_SUCCESS);
    EXPECT_EQ(child_->close_adapter(), STATUS_SUCCESS);
}

// A request that comes after the device went (the child not yet removed) finds no context:
// STATUS_DEVICE_DOES_NOT_EXIST, the version still answers, and the adapter still closes.
TEST_F(WdmChildTest, RequestsWithoutAContextFindTheDeviceGone) {
    WdmOpen reply;
    ASSERT_EQ(child_->open(&reply, &adapterLog_), STATUS_SUCCESS);
    WDFCHILDLIST list = WdfFdoGetDefaultChildList(root_.fdo());
    WDF_CHILD_LIST_ITERATOR hold;
    WDF_CHILD_LIST_ITERATOR_INIT(&hold, WdfRetrieveMissingChildren);
    WdfChildListBeginIteration(list, &hold);  // keeps the PnP manager from removing the child for now
    root_.ports().unplug(root_.ports().ports().front().number);
    ChildLog streamLog;
    EXPECT_EQ(child_->open_stream(kWdmRender, 48000, 24, 2, &streamLog).status, STATUS_DEVICE_DOES_NOT_EXIST);
    EXPECT_EQ(child_->may_change(kWdmRender), -1);
    WdmOpen again;
    EXPECT_EQ(child_->open(&again, &adapterLog_), STATUS_DEVICE_DOES_NOT_EXIST);
    VersionReply version{};
    EXPECT_EQ(child_->send(kIoctlWdmGetVersion, &version), STATUS_SUCCESS);
    EXPECT_EQ(version.interfaceVersion, kWdmInterfaceVersion);
    EXPECT_EQ(child_->close_adapter(), STATUS_SUCCESS);
    WdfChildListEndIteration(list, &hold);
    platform::wait_for_pnp_idle();
    EXPECT_EQ(arbiter().clients, 0u);
}

// The first open writes "Channel map set first time" and 48 output and 48 input sequences (the
// device's id as 8 binary bytes, the channel's label, numbered past the device's channels); the
// maps name channels 0 to 9 and fill the rest. A reopen reads them back: a label moved to
// another sequence (in another case) moves the channel, a label that names nothing leaves the
// entry to the gap fill, an id of the wrong type is no missing value (nothing is rewritten),
// and a missing value brings the defaults back.
TEST_F(WdmChildTest, ChannelMapsAreWrittenOnceAndReadBack) {
    WdmOpen reply;
    ASSERT_EQ(child_->open(&reply, &adapterLog_), STATUS_SUCCESS);
    EXPECT_EQ(parameter(u"Channel map set first time")->as_dword(), 1u);
    auto id = parameter(u"WDM Out Seq 001 Device Index");
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(id->type, platform::RegType::Binary);
    ASSERT_EQ(id->data.size(), 8u);
    for (const char16_t* direction : {u"Out", u"In"}) {
        for (int seq = 1; seq <= 48; ++seq) {
            char16_t number[4] = {static_cast<char16_t>(u'0' + seq / 100), static_cast<char16_t>(u'0' + seq / 10 % 10),
                                  static_cast<char16_t>(u'0' + seq % 10), 0};
            std::u16string base = std::u16string(u"WDM ") + direction + u" Seq " + number;
            auto index = parameter(base + u" Device Index");
            auto name = parameter(base + u" Channel Name");
            ASSERT_TRUE(index && name) << platform::narrow(base);
            EXPECT_EQ(index->data, id->data);
            ASSERT_TRUE(name->as_string().has_value());
            if (seq > 10) {
                std::string label = (direction == std::u16string(u"Out") ? "Output " : "Input ") + std::to_string(seq);
                EXPECT_EQ(platform::narrow(*name->as_string()), label);
            }
        }
    }
    uint32_t output[48];
    uint32_t input[48];
    auto maps = root_.hook<AdapterMapsFn>("VexaTestAdapterMaps");
    maps(reinterpret_cast<void*>(reply.adapter), output, input);
    for (uint32_t i = 0; i < 48; ++i) {
        EXPECT_EQ(output[i], i < 10 ? i : 0u) << i;
        EXPECT_EQ(input[i], i < 10 ? i : 0u) << i;
    }
    ASSERT_EQ(child_->close_adapter(), STATUS_SUCCESS);

    auto& registry = root_.machine().registry();
    std::u16string key = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\QUVVexaUSBRoot\\Parameters";
    std::u16string third = *parameter(u"WDM Out Seq 003 Channel Name")->as_string();
    for (char16_t& ch : third) ch = static_cast<char16_t>(std::toupper(ch));
    registry.set(key, u"WDM Out Seq 001 Channel Name", platform::RegValue::string(third));
    registry.set(key, u"WDM Out Seq 002 Channel Name", platform::RegValue::string(u"No Such Channel"));
    registry.set(key, u"WDM In Seq 001 Device Index", platform::RegValue::string(u"not an id"));
    registry.erase(key, u"WDM Out Seq 048 Channel Name");
    ASSERT_EQ(child_->open(&reply, &adapterLog_), STATUS_SUCCESS);
    maps(reinterpret_cast<void*>(reply.adapter), output, input);
    EXPECT_EQ(output[0], 2u) << "the label of channel 3, in capitals";
    EXPECT_EQ(output[2], 2u);
    EXPECT_EQ(output[1], 0u) << "unmatched: the lowest channel no entry holds (channel 0, freed by entry 1)";
    EXPECT_EQ(input[0], 0u) << "an id of the wrong type leaves the entry to the gap fill";
    EXPECT_EQ(parameter(u"WDM In Seq 001 Device Index")->type, platform::RegType::String) << "not rewritten";
    EXPECT_EQ(input[4], 4u);
    auto restored = parameter(u"WDM Out Seq 048 Channel Name");
    ASSERT_TRUE(restored.has_value()) << "a missing value brings the defaults back";
    EXPECT_EQ(restored->as_string(), u"Output 48");
}

// Every entry starts unmapped, not at channel 0: an entry whose label names nothing on the device
// gets the lowest channel no other entry holds (channel 1 here, channel 0 being entry 0's), and
// the entries past the device's channels the one given last in the pass, not 0.
TEST_F(WdmChildTest, MapEntriesStartUnmapped) {
    WdmOpen reply;
    ASSERT_EQ(child_->open(&reply, &adapterLog_), STATUS_SUCCESS);
    ASSERT_EQ(child_->close_adapter(), STATUS_SUCCESS);
    root_.machine().registry().set(
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\QUVVexaUSBRoot\\Parameters",
        u"WDM Out Seq 002 Channel Name", platform::RegValue::string(u"No Such Channel"));
    ASSERT_EQ(child_->open(&reply, &adapterLog_), STATUS_SUCCESS);
    uint32_t output[48];
    uint32_t input[48];
    root_.hook<AdapterMapsFn>("VexaTestAdapterMaps")(reinterpret_cast<void*>(reply.adapter), output, input);
    for (uint32_t i = 0; i < 48; ++i) {
        uint32_t expected = i < 10 ? i : 1;  // 0, 1 (the gap), 2 ... 9, then 1 as given last
        EXPECT_EQ(output[i], expected) << i;
        EXPECT_EQ(input[i], i < 10 ? i : 0u) << i << ": nothing free, nothing given: 0";
    }
}

}  // namespace

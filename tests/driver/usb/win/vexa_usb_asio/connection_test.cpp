// init against the scripted root, on both roads: its exact requests, each of
// its failures with the text the host reads, the busy retries, sessions the
// root answers without a block or a context, and what a failed init leaves.
#include <cstring>

#include "asio_fixture.h"
#include "platform/kernel/ntstatus.h"

namespace {

using namespace vexa::test;
using namespace vexa::asio;

class ConnectionTest : public AsioDriverTest {};

// The version, the information and the open, in this order and with these lengths; the open carries the four
// events in their order and flags 0. init again answers at once and sends nothing.
TEST_P(ConnectionTest, InitSendsItsRequestsInOrder) {
    IASIO* driver = create();
    EXPECT_TRUE(root().codes().empty()) << "creating the object sends nothing";
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    auto requests = root().take_requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].code, kIoctlAsioGetVersion);
    EXPECT_EQ(requests[0].inputBytes, 0u);
    EXPECT_EQ(requests[0].outputBytes, 8u);
    EXPECT_EQ(requests[1].code, kIoctlAsioGetInfo);
    EXPECT_EQ(requests[1].inputBytes, 0u);
    EXPECT_EQ(requests[1].outputBytes, 20512u);
    EXPECT_EQ(requests[2].code, kIoctlAsioOpen);
    EXPECT_EQ(requests[2].inputBytes, 64u);
    EXPECT_EQ(requests[2].outputBytes, 64u);
    auto open = requests[2].as<AsioOpenRequest>();
    EXPECT_EQ(open.flags, 0u);
    EXPECT_EQ(open.context, 0u);
    EXPECT_EQ(open.result, 0);
    uint64_t events[] = {open.switchEvent, open.resetEvent, open.resyncEvent, open.latencyEvent};
    for (int i = 0; i < 4; ++i) {
        EXPECT_NE(events[i], 0u);
        for (int j = 0; j < i; ++j) EXPECT_NE(events[i], events[j]);
    }
    EXPECT_EQ(requests[2].processId, process_->process_id()) << "sent by the host's own process";
    {
        std::lock_guard guard(root().lock);
        EXPECT_TRUE(root().sessionOpen);
        for (PVOID event : root().events) EXPECT_NE(event, nullptr) << "each event referenced by the root";
    }

    EXPECT_EQ(driver->init(nullptr), ASIOTrue);
    EXPECT_TRUE(root().codes().empty());
    EXPECT_TRUE(sleeps().empty());

    // Created but not initialised, a second object has nothing to read.
    release(driver);
    std::lock_guard guard(root().lock);
    EXPECT_FALSE(root().handleOpen) << "the last release closed the connection";
}

// Every way init fails, each with the text the host reads afterwards; none leaves a handle, and after the cause is
// gone the same object initialises.
TEST_P(ConnectionTest, InitFailuresAreTold) {
    struct Case {
        const char* what;
        std::function<void(ScriptedAsioRoot&)> script;
        const char* fault;  // a Win32 call made to fail, with the calls to let through first
        unsigned skip;
        std::string text;
        std::vector<uint32_t> codes;  // what reached the root
    };
    const std::vector<Case> cases = {
        {"version refused", [](ScriptedAsioRoot& r) { r.failures[kIoctlAsioGetVersion] = STATUS_UNSUCCESSFUL; },
         nullptr, 0, "Cannot open ASIO QUV VEXA USB Platform. Version mismatch.\n", {kIoctlAsioGetVersion}},
        {"other version", [](ScriptedAsioRoot& r) { r.interfaceVersion = 0x6018; }, nullptr, 0,
         "Cannot open ASIO QUV VEXA USB Platform. Version mismatch.\n", {kIoctlAsioGetVersion}},
        {"information refused", [](ScriptedAsioRoot& r) { r.failures[kIoctlAsioGetInfo] = STATUS_INVALID_PARAMETER; },
         nullptr, 0, "Cannot obtain ASIO QUV VEXA USB Platform information. (Error code: 0x57)\n",
         {kIoctlAsioGetVersion, kIoctlAsioGetInfo}},
        // Each request makes an event of its own: the version's and the information's come first.
        {"first event", nullptr, "CreateEvent", 2, "Cannot create ASIO QUV VEXA USB Platform notification event.",
         {kIoctlAsioGetVersion, kIoctlAsioGetInfo}},
        {"last event", nullptr, "CreateEvent", 5, "Cannot create ASIO QUV VEXA USB Platform notification event.",
         {kIoctlAsioGetVersion, kIoctlAsioGetInfo}},
        {"open refused", [](ScriptedAsioRoot& r) { r.failures[kIoctlAsioOpen] = STATUS_INSUFFICIENT_RESOURCES; },
         nullptr, 0, "Cannot initialize ASIO QUV VEXA USB Platform. (Error code: 0x5aa)\n",
         {kIoctlAsioGetVersion, kIoctlAsioGetInfo, kIoctlAsioOpen}},
        {"open answered -998", [](ScriptedAsioRoot& r) { r.results[kIoctlAsioOpen] = ASE_InvalidParameter; },
         nullptr, 0, "Cannot initialize ASIO QUV VEXA USB Platform. (Error code: 0xfffffc1a)\n",
         {kIoctlAsioGetVersion, kIoctlAsioGetInfo, kIoctlAsioOpen}},
        {"no block", [](ScriptedAsioRoot& r) { r.zeroBlock = true; }, nullptr, 0,
         "Cannot initialize ASIO QUV VEXA USB Platform. (Error code: 0xfffffc18)\n",
         {kIoctlAsioGetVersion, kIoctlAsioGetInfo, kIoctlAsioOpen, kIoctlAsioClose}},
        {"no context", [](ScriptedAsioRoot& r) { r.zeroContext = true; }, nullptr, 0,
         "Cannot initialize ASIO QUV VEXA USB Platform. (Error code: 0xfffffc18)\n",
         {kIoctlAsioGetVersion, kIoctlAsioGetInfo, kIoctlAsioOpen}},
        {"no thread", nullptr, "CreateThread", 0, "Cannot create ASIO QUV VEXA USB Platform notification thread.\n",
         {kIoctlAsioGetVersion, kIoctlAsioGetInfo, kIoctlAsioOpen, kIoctlAsioClose}},
    };
    IASIO* driver = create();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        {
            std::lock_guard guard(root().lock);
            if (c.script) c.script(root());
        }
        if (c.fault != nullptr) platform::fault::inject(c.fault, STATUS_INSUFFICIENT_RESOURCES, c.skip);
        root().take_requests();
        EXPECT_EQ(driver->init(nullptr), ASIOFalse);
        platform::fault::clear();
        EXPECT_EQ(error_text(driver), c.text);
        EXPECT_EQ(root().codes(), c.codes);
        std::lock_guard guard(root().lock);
        EXPECT_FALSE(root().handleOpen) << "the handle is closed";
        EXPECT_FALSE(root().sessionOpen);
        root().failures.clear();
        root().results.clear();
        root().interfaceVersion = kAsioInterfaceVersion;
        root().zeroBlock = root().zeroContext = false;
    }
    int32_t inputs = -1;
    EXPECT_EQ(driver->getChannels(&inputs, nullptr), ASE_OK) << "the information read before the last failure";
    EXPECT_EQ(driver->init(nullptr), ASIOTrue) << "a failed init leaves nothing that stops the next";
    ASIOSampleRate rate = 0;
    EXPECT_EQ(driver->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 48000.0);
}

// Without the root's interface the search ends at once with error 3; nothing is retried.
TEST_P(ConnectionTest, NoInterfaceIsErrorThree) {
    machine_.pnp().remove(*node_);
    IASIO* driver = create();
    EXPECT_EQ(driver->init(nullptr), ASIOFalse);
    EXPECT_EQ(error_text(driver), "Cannot open ASIO QUV VEXA USB Platform. (Error code: 0x3)\n");
    EXPECT_TRUE(sleeps().empty());
}

// An interface path longer than 256 bytes is read whole and opened (a fixed 256-byte detail record refused it, and
// init failed with "Error code: 0x7a", ERROR_INSUFFICIENT_BUFFER).
TEST_P(ConnectionTest, LongInterfacePathIsOpened) {
    machine_.pnp().remove(*node_);
    node_ = machine_.pnp().add_node(u"ROOT\\VEXASCRIPTEDASIO\\" + std::u16string(240, u'L'),
                                    {u"Root\\VexaScriptedAsio"}, kScriptedRootService);
    platform::drain_pnp_notifications();
    ASSERT_EQ(node_->state, platform::NodeState::Started);
    IASIO* driver = create();
    EXPECT_EQ(driver->init(nullptr), ASIOTrue) << error_text(driver);
    std::lock_guard guard(root().lock);
    EXPECT_EQ(root().creates, 1u);
    EXPECT_TRUE(root().sessionOpen);
}

// A root answering busy a few times is retried 50 ms apart until it opens; one held by another process is tried
// 61 times and then reported with ERROR_BUSY, without costing the test any wall time.
TEST_P(ConnectionTest, BusyIsRetried) {
    {
        std::lock_guard guard(root().lock);
        root().busyOpens = 3;
    }
    IASIO* driver = create();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    EXPECT_EQ(sleeps(), (std::vector<DWORD>{50, 50, 50}));
    release(driver);

    // Another host holds the only connection.
    auto other = make_process(false, "other host");
    {
        platform::win32::ScopedProcess as(other);
        IASIO* first = create();
        ASSERT_EQ(first->init(nullptr), ASIOTrue);
        clear_sleeps();
        platform::win32::ScopedProcess back(process_);
        IASIO* second = create();
        EXPECT_EQ(second->init(nullptr), ASIOFalse);
        EXPECT_EQ(error_text(second), "Cannot open ASIO QUV VEXA USB Platform. (Error code: 0xaa)\n");
        EXPECT_EQ(sleeps(), std::vector<DWORD>(60, 50));
        {
            std::lock_guard guard(root().lock);
            EXPECT_EQ(root().busyAnswers, 3u + 61u);
        }
        release(second);
        platform::win32::ScopedProcess again(other);
        release(first);
    }
}

// The driver's name and version are constant; the error text is copied within the host's buffer.
TEST_P(ConnectionTest, NameVersionAndErrorText) {
    IASIO* driver = create();
    char name[kAsioDriverNameBytes];
    std::memset(name, 'x', sizeof(name));
    driver->getDriverName(name);
    EXPECT_STREQ(name, "ASIO QUV VEXA USB Platform");
    driver->getDriverName(nullptr);
    EXPECT_EQ(static_cast<uint32_t>(driver->getDriverVersion()), 0x8432BB7Fu);
    char text[kAsioErrorMessageBytes + 8];
    std::memset(text, 'x', sizeof(text));
    driver->getErrorMessage(text);
    EXPECT_STREQ(text, "") << "no failure yet";
    EXPECT_EQ(text[kAsioErrorMessageBytes], 'x') << "nothing written past the host's buffer";
    driver->getErrorMessage(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Roads, ConnectionTest, ::testing::Values(Road::Local, Road::Socket), RoadName);

}  // namespace

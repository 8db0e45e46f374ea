// The notification thread against the scripted root, on both roads: the
// switch in both modes with its acknowledgement, the reset, resync and
// latency requests with their fallbacks, a host that stops, disposes or
// destroys the driver from inside a callback, dispose racing a callback that
// blocks, the thread's priority and multimedia class, a reset signalled
// inside the open, and a connection lost (a wait that fails, the root gone).
#include <atomic>
#include <condition_variable>
#include <optional>
#include <thread>

#include "asio_fixture.h"
#include "platform/kernel/ntstatus.h"
#include "platform/machine/logger_driver.h"

namespace {

using namespace vexa::test;
using namespace vexa::asio;
using Event = ScriptedAsioRoot::Event;

// The trace file number of the notification thread's source, which writes the drop-out record.
constexpr uint32_t kNotificationThreadFile = 335;

// Requests that reached the root while the host was inside a callback (the root's hook is a plain function).
std::atomic<bool> g_inCallback{false};
std::atomic<int> g_requestsDuringCallback{0};

class NotificationTest : public AsioDriverTest {
protected:
    ~NotificationTest() override {
        std::lock_guard guard(root().lock);
        root().onRequest = nullptr;
    }

    size_t info_reads() {
        size_t reads = 0;
        for (uint32_t code : root().codes()) reads += code == kIoctlAsioGetInfo ? 1 : 0;
        return reads;
    }
    // Every event signalled before this has been handled: a reset waits behind
    // them, and its re-read of the information (and, with callbacks, its
    // message) is seen here.
    void settle(bool hostTold) {
        size_t reads = info_reads();
        size_t resets = 0;
        for (int32_t selector : host_.messages()) resets += selector == kAsioResetRequest ? 1 : 0;
        ASSERT_TRUE(root().signal(ScriptedAsioRoot::kReset));
        ASSERT_TRUE(WaitUntil([&] { return info_reads() > reads; }));
        if (hostTold) {
            ASSERT_TRUE(host_.wait_for_message(kAsioResetRequest, resets + 1));
        }
    }
    // One switch from the root, handed to the host and acknowledged.
    HostCall switch_once(uint64_t position, uint64_t timeNs = 0, HostCall::Kind kind = HostCall::kSwitch) {
        size_t before = host_.calls(kind).size();
        uint32_t sequence = root().switch_buffers(position, timeNs);
        EXPECT_TRUE(host_.wait_for(kind, before + 1));
        EXPECT_TRUE(WaitUntil([&] { return root().acknowledged() == sequence; })) << "acknowledged " << sequence;
        auto calls = host_.calls(kind);
        return calls.empty() ? HostCall{kind} : calls.back();
    }
    size_t switches() { return host_.calls(HostCall::kSwitch).size() + host_.calls(HostCall::kSwitchTimeInfo).size(); }
    // A lost connection's block is not read: the position and the latencies answer as with no device.
    static void ExpectNoBlockRead(IASIO* driver) {
        ASIOSamples position{};
        ASIOTimeStamp stamp{};
        EXPECT_EQ(driver->getSamplePosition(&position, &stamp), ASE_NotPresent);
        int32_t input = 0;
        int32_t output = 0;
        EXPECT_EQ(driver->getLatencies(&input, &output), ASE_NotPresent);
    }
};

// Each switch hands the host the half the block names, with directProcess, on a thread of its own at time-critical
// priority; the sequence is acknowledged after. Before start, after stop and after dispose nothing is called and
// nothing acknowledged.
TEST_P(NotificationTest, SwitchesReachTheHostOnlyWhileStarted) {
    IASIO* driver = initialised();
    auto infos = buffers({0, 1});
    ASSERT_EQ(create_buffers(driver, infos), ASE_OK);
    root().switch_buffers(0, 0);
    settle(true);
    EXPECT_EQ(switches(), 0u) << "not started";
    EXPECT_EQ(root().acknowledged(), 0u);

    ASSERT_EQ(driver->start(), ASE_OK);
    HostCall first = switch_once(0);
    EXPECT_EQ(first.index, 0) << "start gives the host half 1 first, so the first switch names half 0";
    EXPECT_EQ(first.directProcess, ASIOTrue);
    EXPECT_NE(first.threadId, GetCurrentThreadId());
    EXPECT_EQ(first.priority, THREAD_PRIORITY_TIME_CRITICAL);
    EXPECT_EQ(switch_once(256).index, 1);
    EXPECT_EQ(switch_once(512).index, 0);

    ASSERT_EQ(driver->stop(), ASE_OK);
    uint32_t acknowledged = root().acknowledged();
    root().switch_buffers(768, 0);
    settle(true);
    EXPECT_EQ(switches(), 3u) << "stopped";
    EXPECT_EQ(root().acknowledged(), acknowledged) << "a switch not handed over is not acknowledged";

    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    root().switch_buffers(0, 0);
    settle(false);
    EXPECT_EQ(switches(), 3u) << "disposed";
}

// The host gets 0 or 1 whatever else the block's index word holds.
TEST_P(NotificationTest, BufferIndexIsMasked) {
    running();
    root().set_buffer_index(2);
    EXPECT_EQ(switch_once(0).index, 1) << "2 ^ 1 is 3, handed over as half 1";
    root().set_buffer_index(-2);
    EXPECT_EQ(switch_once(256).index, 1);
}

// In time-info mode each switch carries the block's position and time, the valid flags and the rate; a new rate
// or clock source is flagged in the next switch only; a position that skips a half is traced as a drop-out.
TEST_P(NotificationTest, TimeInfoMode) {
    host_.answer(kAsioSupportsTimeInfo, 0, 1);
    IASIO* driver = initialised();
    auto infos = buffers({0});
    ASSERT_EQ(create_buffers(driver, infos, 256), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    HostCall call = switch_once(0, 0x200000001ull, HostCall::kSwitchTimeInfo);
    EXPECT_EQ(call.timeInfo.flags, kSystemTimeValid | kSamplePositionValid | kSampleRateValid);
    EXPECT_EQ(call.timeInfo.sampleRate, 48000.0);
    EXPECT_EQ(call.timeInfo.speed, 1.0);
    EXPECT_EQ(call.timeInfo.systemTime.hi, 2u);
    EXPECT_EQ(call.timeInfo.systemTime.lo, 1u);
    EXPECT_EQ(call.timeInfo.samplePosition.lo, 0u);
    EXPECT_EQ(host_.calls(HostCall::kSwitch).size(), 0u) << "the plain switch is not called in this mode";

    ASSERT_EQ(driver->setSampleRate(96000), ASE_OK);
    call = switch_once(256, 0, HostCall::kSwitchTimeInfo);
    EXPECT_EQ(call.timeInfo.flags & kSampleRateChanged, kSampleRateChanged);
    EXPECT_EQ(call.timeInfo.sampleRate, 96000.0);
    call = switch_once(512, 0, HostCall::kSwitchTimeInfo);
    EXPECT_EQ(call.timeInfo.flags & kSampleRateChanged, 0u) << "flagged once";
    ASSERT_EQ(driver->setClockSource(0), ASE_OK);
    call = switch_once(768, 0, HostCall::kSwitchTimeInfo);
    EXPECT_EQ(call.timeInfo.flags & kClockSourceChanged, kClockSourceChanged);
    EXPECT_EQ(call.timeInfo.flags & kSampleRateChanged, 0u);
    call = switch_once(1024, 0, HostCall::kSwitchTimeInfo);
    EXPECT_EQ(call.timeInfo.flags, kSystemTimeValid | kSamplePositionValid | kSampleRateValid);

    auto dropouts = [&] {
        std::vector<vexa::log::LogRecord> found;
        for (const auto& record : machine_.logger().records(vexa::log::kRingTagRealtime)) {
            if (record.id >> 13 == kNotificationThreadFile &&
                record.mask == (vexa::log::kLogError | vexa::log::kLogAsio)) {
                found.push_back(record);
            }
        }
        return found;
    };
    EXPECT_TRUE(dropouts().empty()) << "every half followed the last";
    call = switch_once(2048, 0, HostCall::kSwitchTimeInfo);
    EXPECT_EQ(call.timeInfo.samplePosition.lo, 2048u);
    auto traced = dropouts();
    ASSERT_EQ(traced.size(), 1u) << "the halves from 1280 went by";
    EXPECT_EQ(traced[0].value1, 2048u);
    EXPECT_EQ(traced[0].value2, 1280u);
}

// Null callbacks are never called: a host without a buffer switch or message entry is switched and reset without
// a call, and one that claims time info without bufferSwitchTimeInfo gets the plain switch.
TEST_P(NotificationTest, NullCallbacksAreNeverCalled) {
    IASIO* driver = initialised();
    ASIOCallbacks none{};
    auto infos = buffers({0});
    ASSERT_EQ(driver->createBuffers(infos.data(), 1, 256, &none), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    uint32_t sequence = root().switch_buffers(0, 0);
    ASSERT_TRUE(WaitUntil([&] { return root().acknowledged() == sequence; }));
    settle(false);
    ASSERT_EQ(driver->setSampleRate(44100), ASE_OK);
    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);

    host_.answer(kAsioSupportsTimeInfo, 0, 1);
    ASIOCallbacks plain = host_.callbacks;
    plain.bufferSwitchTimeInfo = nullptr;
    ASSERT_EQ(driver->createBuffers(infos.data(), 1, 256, &plain), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    switch_once(0);
    EXPECT_TRUE(host_.calls(HostCall::kSwitchTimeInfo).empty());
}

// A reset re-reads the rate, the counts and the names before the host is told, so a host that asks from inside
// its reset handling sees the device as it is now.
TEST_P(NotificationTest, ResetReadsTheDeviceAgainFirst) {
    IASIO* driver = running();
    ASIOSampleRate seenRate = 0;
    int32_t seenOutputs = 0;
    ASIOChannelInfo seenInfo{0, ASIOFalse, 0, 0, 0, {}};
    std::atomic<bool> asked{false};
    host_.on_message([&](int32_t selector) {
        if (selector != kAsioResetRequest) return;
        driver->getSampleRate(&seenRate);
        driver->getChannels(nullptr, &seenOutputs);
        driver->getChannelInfo(&seenInfo);
        asked = true;
    });
    {
        std::lock_guard guard(root().lock);
        root().info.sampleRate = 44100;
        root().info.outputChannels = 3;
        std::snprintf(root().info.outputNames[0], kAsioNameBytes, "Main L");
    }
    ASSERT_TRUE(root().signal(ScriptedAsioRoot::kReset));
    ASSERT_TRUE(WaitUntil([&] { return asked.load(); }));
    host_.on_message(nullptr);
    EXPECT_EQ(seenRate, 44100.0);
    EXPECT_EQ(seenOutputs, 3);
    EXPECT_STREQ(seenInfo.name, "Main L");
}

// Resync and latency requests: the host's own handling when it supports the selector and answers nonzero; a reset
// request when it does not support it or answers 0.
TEST_P(NotificationTest, ResyncAndLatencyFallBackToReset) {
    struct Case {
        Event event;
        int32_t selector;
        bool supported;
        int32_t answer;
        std::vector<int32_t> told;
    };
    const Case cases[] = {
        {ScriptedAsioRoot::kLatency, kAsioLatenciesChanged, false, 0, {kAsioResetRequest}},
        {ScriptedAsioRoot::kLatency, kAsioLatenciesChanged, true, 1, {kAsioLatenciesChanged}},
        {ScriptedAsioRoot::kLatency, kAsioLatenciesChanged, true, 0, {kAsioLatenciesChanged, kAsioResetRequest}},
        {ScriptedAsioRoot::kResync, kAsioResyncRequest, false, 0, {kAsioResetRequest}},
        {ScriptedAsioRoot::kResync, kAsioResyncRequest, true, 1, {kAsioResyncRequest}},
        {ScriptedAsioRoot::kResync, kAsioResyncRequest, true, 0, {kAsioResyncRequest, kAsioResetRequest}},
    };
    IASIO* driver = initialised();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.selector) + (c.supported ? " supported" : "") + " answer " +
                     std::to_string(c.answer));
        host_.answer(kAsioSelectorSupported, c.selector, c.supported ? 1 : 0);
        host_.answer(c.selector, 0, c.answer);
        auto infos = buffers({0});
        ASSERT_EQ(create_buffers(driver, infos), ASE_OK);
        host_.clear();
        ASSERT_TRUE(root().signal(c.event));
        ASSERT_TRUE(WaitUntil([&] { return host_.messages().size() >= c.told.size(); }));
        settle(true);
        auto told = host_.messages();
        ASSERT_FALSE(told.empty());
        EXPECT_EQ(told.back(), kAsioResetRequest) << "settle's own";
        told.pop_back();
        EXPECT_EQ(told, c.told);
        ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    }
}

// A host that calls stop or disposeBuffers from inside its buffer switch does not deadlock on the callback mutex,
// and gets no further switch.
TEST_P(NotificationTest, StopOrDisposeFromInsideACallback) {
    for (bool dispose : {false, true}) {
        SCOPED_TRACE(dispose ? "dispose" : "stop");
        IASIO* driver = running();
        std::atomic<ASIOError> answer{1};
        host_.on_switch([&] {
            host_.on_switch(nullptr);
            answer = dispose ? driver->disposeBuffers() : driver->stop();
        });
        switch_once(0);
        EXPECT_EQ(answer.load(), ASE_OK);
        auto codes = root().codes();
        EXPECT_EQ(codes.back(), dispose ? kIoctlAsioDisposeBuffers : kIoctlAsioStop);
        size_t before = switches();
        root().switch_buffers(256, 0);
        settle(!dispose);
        EXPECT_EQ(switches(), before);
        host_.clear();
        ASSERT_EQ(release(driver), 0u);
    }
}

// disposeBuffers while the host is blocked inside a switch waits for the callback to return: nothing is stopped or
// freed under it, and no callback starts after dispose has returned.
TEST_P(NotificationTest, DisposeWaitsForABlockedCallback) {
    IASIO* driver = running();
    std::mutex lock;
    std::condition_variable cv;
    bool letGo = false;
    host_.on_switch([&] {
        g_inCallback = true;
        std::unique_lock guard(lock);
        cv.wait(guard, [&] { return letGo; });
        g_inCallback = false;
    });
    g_requestsDuringCallback = 0;
    {
        std::lock_guard guard(root().lock);
        root().onRequest = [](uint32_t) {
            if (g_inCallback) ++g_requestsDuringCallback;
        };
    }
    root().switch_buffers(0, 0);
    ASSERT_TRUE(host_.wait_for(HostCall::kSwitch, 1));
    std::atomic<bool> began{false};
    std::atomic<bool> returned{false};
    std::atomic<ASIOError> result{1};
    std::thread host([&] {
        began = true;
        result = driver->disposeBuffers();
        returned = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return began.load(); }));
    for (int i = 0; i < 10000; ++i) std::this_thread::yield();
    EXPECT_FALSE(returned) << "dispose returned while the host was still inside its switch";
    {
        std::lock_guard guard(lock);
        letGo = true;
    }
    cv.notify_all();
    host.join();
    host_.on_switch(nullptr);
    EXPECT_EQ(result.load(), ASE_OK);
    EXPECT_EQ(g_requestsDuringCallback.load(), 0) << "a request went to the root while the callback ran";
    auto codes = root().codes();
    ASSERT_GE(codes.size(), 2u);
    EXPECT_EQ(codes[codes.size() - 2], kIoctlAsioStop);
    EXPECT_EQ(codes.back(), kIoctlAsioDisposeBuffers);
    root().switch_buffers(256, 0);
    settle(false);
    EXPECT_EQ(switches(), 1u);
}

// A host that releases the driver from inside its buffer switch destroys it on the notification thread: the
// destructor does not wait for its own thread, and the thread leaves without touching the object.
TEST_P(NotificationTest, DestroyedFromInsideACallback) {
    IASIO* driver = running();
    drivers_.clear();  // the host's callback holds the last reference now
    std::atomic<ULONG> left{99};
    host_.on_switch([&] {
        host_.on_switch(nullptr);
        left = driver->Release();
    });
    root().switch_buffers(0, 0);
    ASSERT_TRUE(host_.wait_for(HostCall::kSwitch, 1));
    ASSERT_TRUE(WaitUntil([&] { return left.load() != 99; })) << "the release returned";
    EXPECT_EQ(left.load(), 0u);
    {
        std::lock_guard guard(root().lock);
        EXPECT_FALSE(root().handleOpen) << "the destructor closed the connection";
    }
    auto codes = root().codes();
    EXPECT_EQ(std::vector<uint32_t>(codes.end() - 2, codes.end()),
              (std::vector<uint32_t>{kIoctlAsioStop, kIoctlAsioDisposeBuffers}));
    // The thread leaves the multimedia class on its way out.
    EXPECT_TRUE(WaitUntil([] {
        for (const auto& call : platform::win32::avrt::calls()) {
            if (call.entry == "AvRevertMmThreadCharacteristics") return true;
        }
        return false;
    }));
}

// The thread runs at time-critical priority in "Pro Audio" at critical priority, reverted when it ends; without
// avrt, or without one of its entries, it still runs at time-critical priority, outside the class.
TEST_P(NotificationTest, PriorityAndMultimediaClass) {
    IASIO* driver = running();
    HostCall call = switch_once(0);
    EXPECT_EQ(call.priority, THREAD_PRIORITY_TIME_CRITICAL);
    auto calls = platform::win32::avrt::calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].entry, "AvSetMmThreadCharacteristicsA");
    EXPECT_EQ(calls[0].task, "Pro Audio");
    EXPECT_TRUE(calls[0].succeeded);
    EXPECT_EQ(calls[0].threadId, call.threadId);
    EXPECT_EQ(calls[1].entry, "AvSetMmThreadPriority");
    EXPECT_EQ(calls[1].priority, AVRT_PRIORITY_CRITICAL);
    EXPECT_EQ(calls[1].handle, calls[0].handle);
    EXPECT_TRUE(calls[1].succeeded);
    ASSERT_EQ(release(driver), 0u);
    calls = platform::win32::avrt::calls();
    ASSERT_EQ(calls.size(), 3u) << "the destructor waited for the thread, which reverted on its way out";
    EXPECT_EQ(calls[2].entry, "AvRevertMmThreadCharacteristics");
    EXPECT_EQ(calls[2].handle, calls[0].handle);
    EXPECT_EQ(calls[2].threadId, call.threadId);
    EXPECT_TRUE(calls[2].succeeded);

    for (bool whole : {true, false}) {
        SCOPED_TRACE(whole ? "no avrt" : "no revert entry");
        platform::win32::avrt::clear_calls();
        if (whole) {
            platform::win32::avrt::set_missing(true);
        } else {
            platform::win32::avrt::hide_entry("AvRevertMmThreadCharacteristics");
        }
        host_.clear();
        IASIO* plain = running();
        EXPECT_EQ(switch_once(0).priority, THREAD_PRIORITY_TIME_CRITICAL);
        ASSERT_EQ(release(plain), 0u);
        EXPECT_TRUE(platform::win32::avrt::calls().empty()) << "never joined, so nothing to revert";
        platform::win32::avrt::restore();
    }
}

// A reset the root signals while the open is still in progress reaches a thread that keeps running: the run flag
// is up before the thread exists. Whether the new thread wakes before init raised it is a race; what decides it is
// the flag at the moment the thread is made, seen there (by the one observer of calls that can fail), so the check
// does not depend on how the threads happen to run.
TEST_P(NotificationTest, ResetInsideTheOpenKeepsTheThread) {
    {
        std::lock_guard guard(root().lock);
        root().resetOnOpen = true;
    }
    IASIO* driver = create();
    DWORD initThread = GetCurrentThreadId();
    std::optional<ASIOError> runningAtCreation;
    {
        platform::fault::ScopedObserver observer([&](std::string_view call) {
            if (call != "CreateThread" || GetCurrentThreadId() != initThread) return;
            ASIOSampleRate rate = 0;
            runningAtCreation = driver->getSampleRate(&rate);
        });
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    }
    ASSERT_TRUE(runningAtCreation.has_value()) << "the thread was made by init's thread";
    EXPECT_EQ(*runningAtCreation, ASE_OK) << "the driver counted as running before its thread existed";
    ASSERT_TRUE(WaitUntil([&] { return info_reads() == 2; })) << "the reset re-read the information";
    auto infos = buffers({0});
    ASSERT_EQ(create_buffers(driver, infos), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    EXPECT_EQ(switch_once(0).index, 0) << "the thread is still there";
}

// A wait that fails (an event closed behind the driver's back) means the root's side is gone: the host is asked to
// reset rather than left without switches, the thread ends instead of spinning, the block is no longer touched
// (nothing acknowledged, the position and the latencies answered as with no device), and the driver is destroyed
// normally after.
TEST_P(NotificationTest, FailedWaitEndsTheThread) {
    IASIO* driver = running();
    AsioOpenRequest open{};
    for (const ScriptedRequest& request : root().take_requests()) {
        if (request.code == kIoctlAsioOpen) open = request.as<AsioOpenRequest>();
    }
    ASSERT_NE(open.resyncEvent, 0u);
    switch_once(0);
    ASSERT_TRUE(CloseHandle(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(open.resyncEvent))));
    // A thread already waiting wakes for this switch (handing it over or not) and fails its next wait.
    root().switch_buffers(256, 0);
    ASSERT_TRUE(WaitUntil([] {
        for (const auto& call : platform::win32::avrt::calls()) {
            if (call.entry == "AvRevertMmThreadCharacteristics") return true;
        }
        return false;
    })) << "the thread left its loop";
    EXPECT_TRUE(host_.wait_for_message(kAsioResetRequest)) << "the host hears of it";
    size_t seen = switches();
    EXPECT_LE(seen, 2u);
    uint32_t acknowledged = root().acknowledged();
    root().switch_buffers(512, 0);
    ExpectNoBlockRead(driver);
    EXPECT_EQ(root().acknowledged(), acknowledged) << "nothing written into the block";
    EXPECT_EQ(release(driver), 0u) << "the destructor does not wait for ever on a thread that has ended";
    EXPECT_EQ(switches(), seen) << "nobody waits for the root's events any more";
}

// The root's device removed while the driver streams (its driver updated or disabled): the root's reset finds every
// request refused, so the connection is lost. The host is asked to reset; from then on no switch reaches it and the
// block is neither acknowledged nor read (the position and the latencies answer as with no device), though the root
// still maps it until the host lets the driver go.
TEST_P(NotificationTest, TheRootGoingLosesTheConnection) {
    IASIO* driver = running();
    switch_once(0);
    machine_.pnp().remove(*node_);
    ASSERT_TRUE(root().signal(ScriptedAsioRoot::kReset));
    ASSERT_TRUE(host_.wait_for_message(kAsioResetRequest)) << "the host is asked to reset";
    size_t seen = switches();
    uint32_t acknowledged = root().acknowledged();
    // The thread takes a switch before a reset signalled after it: once the second reset is told, the switch is done.
    root().switch_buffers(256, 0);
    ASSERT_TRUE(root().signal(ScriptedAsioRoot::kReset));
    ASSERT_TRUE(host_.wait_for_message(kAsioResetRequest, 2));
    EXPECT_EQ(switches(), seen) << "no switch after the loss";
    EXPECT_EQ(root().acknowledged(), acknowledged) << "nothing written into the block";
    ExpectNoBlockRead(driver);
    EXPECT_EQ(driver->stop(), ASE_NotPresent) << "requests fail as with no device";
    EXPECT_EQ(release(driver), 0u);
    std::lock_guard guard(root().lock);
    EXPECT_FALSE(root().handleOpen) << "the removed root's handle closed, its cleanup served";
}

INSTANTIATE_TEST_SUITE_P(Roads, NotificationTest, ::testing::Values(Road::Local, Road::Socket), RoadName);

}  // namespace

// Test equipment: the test itself playing the WDM audio child driver on a
// machine whose adapter child has no driver of its own: it sends the child
// requests to the adapter PDO and hands the root driver its own functions,
// which record what they are called with.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "platform/kernel/text.h"
#include "platform/machine/registry.h"
#include "source/driver/usb/win/vexa_usb_swroot/public/child_interface.h"
#include "support/midi_doubles.h"
#include "support/root_machine.h"
#include "tests/driver/usb/win/vexa_usb_swroot/wdm_hooks.h"

namespace vexa::test {

using namespace vexa::child;

// What the root driver called back.
struct ChildLog {
    std::mutex lock;
    std::vector<uint32_t> events;
    std::vector<uint8_t> eventIrqls;
    uint64_t periods = 0;
    uint64_t bytes = 0;
    uint32_t lastBytes = 0;

    static void Notify(void* context, uint32_t event) {
        auto* log = static_cast<ChildLog*>(context);
        std::lock_guard guard(log->lock);
        log->events.push_back(event);
        log->eventIrqls.push_back(KeGetCurrentIrql());
    }
    static void Period(void* context, uint32_t bytes) {
        auto* log = static_cast<ChildLog*>(context);
        std::lock_guard guard(log->lock);
        ++log->periods;
        log->bytes += bytes;
        log->lastBytes = bytes;
    }
    std::vector<uint32_t> take_events() {
        std::lock_guard guard(lock);
        return std::exchange(events, {});
    }
};

struct OpenedStream {
    NTSTATUS status;
    void* stream;
    WdmStreamTransferFn transfer;
    WdmStreamSetStateFn setState;
};

class WdmChild {
public:
    explicit WdmChild(platform::DevNode* node) : node_(node) {}

    template <typename Record>
    NTSTATUS send(uint32_t code, Record* record, uint32_t bytes = sizeof(Record)) {
        std::vector<uint8_t> buffer(bytes > sizeof(Record) ? bytes : sizeof(Record));
        std::memcpy(buffer.data(), record, sizeof(Record));
        NTSTATUS status = SendToChild(node_, code, true, buffer.data(), bytes);
        std::memcpy(record, buffer.data(), sizeof(Record));
        return status;
    }
    NTSTATUS open(WdmOpen* reply, ChildLog* log) {
        *reply = WdmOpen{};
        reply->notify = reinterpret_cast<uint64_t>(&ChildLog::Notify);
        reply->notifyContext = reinterpret_cast<uint64_t>(log);
        NTSTATUS status = send(kIoctlWdmOpen, reply);
        if (NT_SUCCESS(status)) {
            adapter_ = reply->adapter;
            closeAdapter_ = reinterpret_cast<WdmCloseAdapterFn>(reply->closeAdapter);
            closeStream_ = reinterpret_cast<WdmCloseStreamFn>(reply->closeStream);
        }
        return status;
    }
    OpenedStream open_stream(uint32_t direction, uint32_t rate, uint32_t bits, uint32_t channels, ChildLog* log,
                             uint64_t adapter = 0) {
        WdmOpenStream request{};
        request.channelCount = channels;
        request.bitsPerSample = bits;
        request.direction = direction;
        request.sampleRate = rate;
        request.streamCallback = reinterpret_cast<uint64_t>(&ChildLog::Period);
        request.streamContext = reinterpret_cast<uint64_t>(log);
        request.adapter = adapter != 0 ? adapter : adapter_;
        NTSTATUS status = send(kIoctlWdmOpenStream, &request);
        uint64_t transfer = 0;
        uint64_t setState = 0;
        std::memcpy(&transfer, reinterpret_cast<uint8_t*>(&request) + kWdmStreamTransferOffset, 8);
        std::memcpy(&setState, reinterpret_cast<uint8_t*>(&request) + kWdmStreamSetStateOffset, 8);
        if (!NT_SUCCESS(status)) return {status, nullptr, nullptr, nullptr};
        return {status, reinterpret_cast<void*>(request.stream), reinterpret_cast<WdmStreamTransferFn>(transfer),
                reinterpret_cast<WdmStreamSetStateFn>(setState)};
    }
    // The may-change flag (or -1 after a failure) and the rate the reply named.
    int32_t may_change(uint32_t direction, uint32_t* rate = nullptr, uint64_t adapter = 0) {
        WdmFormatQuery query{};
        query.direction = direction;
        query.adapter = adapter != 0 ? adapter : adapter_;
        NTSTATUS status = send(kIoctlWdmCanChangeFormat, &query);
        if (rate != nullptr) *rate = query.currentRate;
        return NT_SUCCESS(status) ? static_cast<int32_t>(query.mayChange) : -1;
    }
    NTSTATUS close_stream(void* stream) { return closeStream_(stream); }
    NTSTATUS close_adapter() { return closeAdapter_(reinterpret_cast<void*>(adapter_)); }
    // The close function of the last open called with any handle at all.
    NTSTATUS close_adapter(void* handle) { return closeAdapter_(handle); }
    uint64_t adapter() const { return adapter_; }

private:
    platform::DevNode* node_;
    uint64_t adapter_ = 0;
    WdmCloseAdapterFn closeAdapter_ = nullptr;
    WdmCloseStreamFn closeStream_ = nullptr;
};

// A Cantile-QE on the real USB function driver and the root driver's test
// image; the adapter child has no driver, so the test plays it.
class WdmChildTest : public ::testing::Test {
protected:
    WdmChildTest() : root_(VEXA_TEST_DRIVER_DIR, {}, VEXA_USB_DRIVER_DIR) {
        root_.ports().plug(platform::device::VexaModel::CantileQe);
        node_ = FindChild(root_.children(), u"QUVVexaUSB\\Audio&Adapter", u"1");
        EXPECT_NE(node_, nullptr);
        child_ = std::make_unique<WdmChild>(node_);
    }

    KernelClientProbe probe(void* stream) {
        KernelClientProbe p{};
        root_.hook<KernelClientFn>("VexaTestKernelClient")(stream, &p);
        return p;
    }
    ArbiterProbe arbiter() {
        ArbiterProbe p{};
        root_.hook<ArbiterFn>("VexaTestArbiter")(root_.fdo(), &p);
        return p;
    }
    uint32_t engine_rate() {
        HANDLE pal = OpenPal();
        uint32_t rate = ReadSettings(pal).sampleRate;
        CloseHandle(pal);
        return rate;
    }
    std::optional<platform::RegValue> parameter(std::u16string_view name) {
        return root_.machine().registry().get(
            u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\QUVVexaUSBRoot\\Parameters", name);
    }
    void run_ms(uint64_t ms) { root_.machine().clock().run_for(platform::Milliseconds(ms)); }

    ChildLog adapterLog_;  // outlives the machine: a notification may still be under way when a test ends
    RootMachine root_;
    platform::DevNode* node_ = nullptr;
    std::unique_ptr<WdmChild> child_;
};

}  // namespace vexa::test

// Test equipment: a scripted stand-in for the root driver's ASIO interface,
// the driver image VexaScriptedAsioRoot (scripted_asio_root.cpp). It
// registers GUID_DEVINTERFACE_ASIO with the reference string "ASIO", records
// every request it is sent, answers each from the script a test sets here,
// maps a shared block and buffers into the caller as the root does, and on
// the test's command signals the connection's events and moves the block as
// the root's buffer switch does. One connection at a time: a second open
// while a handle is held answers busy, as another host holding the root's
// only connection would. Requests of a code the test names wait in the
// root's queue until they are cancelled.
#pragma once

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/kernel/barrier.h"
#include "platform/kernel/sync.h"
#include "source/driver/usb/win/vexa_usb_swroot/public/asio_interface.h"

namespace vexa::test {

inline constexpr const char* kScriptedRootService = "VexaScriptedAsioRoot";

struct ScriptedRequest {
    uint32_t code = 0;
    uint32_t inputBytes = 0;
    uint32_t outputBytes = 0;
    std::vector<uint8_t> input;  // as it arrived
    uint32_t processId = 0;

    template <typename Record>
    Record as() const {
        Record record{};
        std::memcpy(&record, input.data(), input.size() < sizeof(record) ? input.size() : sizeof(record));
        return record;
    }
};

// Shared by the image and the test; every field under `lock`.
struct ScriptedAsioRoot {
    enum Event { kSwitch, kReset, kResync, kLatency, kEventCount };

    std::mutex lock;

    // The script.
    uint32_t interfaceVersion = vexa::asio::kAsioInterfaceVersion;
    vexa::asio::AsioDeviceInfo info{};        // kIoctlAsioGetInfo's reply (its result is written as 0)
    vexa::asio::AsioBufferSizeReply sizes{};  // kIoctlAsioGetBufferSize's reply (context and result aside)
    std::map<uint32_t, int32_t> results;      // a code's ASIO result (0 when none is set)
    std::map<uint32_t, NTSTATUS> failures;    // a code's requests fail with this status
    unsigned busyOpens = 0;                   // opens answered busy before one succeeds
    bool zeroContext = false;                 // the open answers context 0
    bool zeroBlock = false;                   // the open answers no block address
    int32_t zeroOutputBuffer = -1;            // an output channel whose buffer address is answered 0
    bool resetOnOpen = false;                 // the reset event is signalled inside the open
    std::set<uint32_t> holds;                 // a code's requests wait in the queue until cancelled
    // Called with the request's code inside each request (after it is recorded), unlocked.
    void (*onRequest)(uint32_t code) = nullptr;

    // What happened.
    std::vector<ScriptedRequest> requests;
    unsigned creates = 0;      // opens of the "\ASIO" handle that succeeded
    unsigned busyAnswers = 0;  // opens refused busy
    unsigned held = 0;         // requests sent to wait in the queue
    unsigned cancelled = 0;    // of those, the ones cancelled there
    bool handleOpen = false;
    bool sessionOpen = false;
    bool buffersExist = false;
    bool started = false;
    uint64_t context = 0;
    uint32_t bufferSize = 0;    // of the buffers created
    uint32_t lastRate = 0;      // the value of the last can/set rate request
    uint64_t userBlock = 0;     // the block's address in the host
    uint64_t userBuffers = 0;   // the buffer region's address in the host
    vexa::asio::AsioSharedBlock* block = nullptr;  // the root's own view
    PVOID events[kEventCount] = {};                // KEVENTs referenced from the host's handles

    // Back to the default script with nothing recorded: the image may stay
    // loaded from one test to the next. A session is the machine's to end.
    void reset_script() {
        std::lock_guard guard(lock);
        interfaceVersion = vexa::asio::kAsioInterfaceVersion;
        std::memset(&info, 0, sizeof(info));
        sizes = vexa::asio::AsioBufferSizeReply{};
        results.clear();
        failures.clear();
        busyOpens = 0;
        zeroContext = false;
        zeroBlock = false;
        zeroOutputBuffer = -1;
        resetOnOpen = false;
        holds.clear();
        onRequest = nullptr;
        requests.clear();
        creates = 0;
        busyAnswers = 0;
        held = 0;
        cancelled = 0;
        lastRate = 0;
    }

    void set_channels(uint32_t outputs, uint32_t inputs) {
        std::lock_guard guard(lock);
        info.outputChannels = outputs;
        info.inputChannels = inputs;
        std::memset(info.outputNames, 0, sizeof(info.outputNames));
        std::memset(info.inputNames, 0, sizeof(info.inputNames));
        for (uint32_t i = 0; i < outputs && i < vexa::asio::kAsioMaxChannels; ++i) {
            std::snprintf(info.outputNames[i], vexa::asio::kAsioNameBytes, "Output %u", i + 1);
        }
        for (uint32_t i = 0; i < inputs && i < vexa::asio::kAsioMaxChannels; ++i) {
            std::snprintf(info.inputNames[i], vexa::asio::kAsioNameBytes, "Input %u", i + 1);
        }
    }

    std::vector<uint32_t> codes() {
        std::lock_guard guard(lock);
        std::vector<uint32_t> all;
        for (const ScriptedRequest& r : requests) all.push_back(r.code);
        return all;
    }
    std::vector<ScriptedRequest> take_requests() {
        std::lock_guard guard(lock);
        auto taken = std::move(requests);
        requests.clear();
        return taken;
    }

    // Signals one of the connection's events; false without a session.
    bool signal(Event event) {
        std::lock_guard guard(lock);
        if (!sessionOpen || events[event] == nullptr) return false;
        KeSetEvent(static_cast<KEVENT*>(events[event]), 0, FALSE);
        return true;
    }
    // The root's buffer switch: sequence, time and position, the other half, then the event.
    // The sequence handed out; 0 without a session.
    uint32_t switch_buffers(uint64_t position, uint64_t timeNs) {
        std::lock_guard guard(lock);
        if (!sessionOpen) return 0;
        uint32_t sequence = ReadULongAcquire(&block->switchSequence) + 1;
        WriteULongRelease(&block->switchSequence, sequence);
        WriteULong64Release(&block->systemTime, timeNs);
        WriteULong64Release(&block->samplePosition, position);
        WriteRelease(&block->bufferIndex, ReadAcquire(&block->bufferIndex) ^ 1);
        KeSetEvent(static_cast<KEVENT*>(events[kSwitch]), 0, FALSE);
        return sequence;
    }
    // Writes the block's index word as it is (a root that wrote more than one bit).
    void set_buffer_index(LONG value) {
        std::lock_guard guard(lock);
        if (sessionOpen) WriteRelease(&block->bufferIndex, value);
    }
    void set_latencies(LONG input, LONG output) {
        std::lock_guard guard(lock);
        if (!sessionOpen) return;
        WriteRelease(&block->inputLatency, input);
        WriteRelease(&block->outputLatency, output);
    }
    void set_position(uint64_t position, uint64_t timeNs) {
        std::lock_guard guard(lock);
        if (!sessionOpen) return;
        WriteULong64Release(&block->samplePosition, position);
        WriteULong64Release(&block->systemTime, timeNs);
    }
    uint32_t acknowledged() {
        std::lock_guard guard(lock);
        return sessionOpen ? ReadULongAcquire(&block->switchAck) : 0;
    }
};

using ScriptedAsioRootFn = ScriptedAsioRoot* (*)();

}  // namespace vexa::test

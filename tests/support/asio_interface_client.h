// Test equipment: a client of the root driver's ASIO interface, in the ASIO
// driver's place under a host, through the Win32 layer only (so it runs alike in a
// test's process and in another program behind vexa-machine's socket). It
// finds and opens the "\ASIO" interface, asks the version and the device's
// info, opens a session with four auto-reset events, creates buffers, starts,
// waits on the switch event, reads bufferIndex and switchSequence from the
// shared block, fills and reads its half, writes switchAck, stops, disposes
// and closes. It is the reference the ASIO driver is checked against.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "platform/win32/user_process.h"
#include "platform/win32/windows.h"
#include "source/driver/usb/win/vexa_usb_swroot/public/asio_interface.h"
#include "source/driver/usb/win/vexa_usb_swroot/public/pal_interface.h"
#include "support/interface_path.h"

namespace vexa::test {

// One request's outcome: whether the I/O control went through (the Win32
// error when not) and the root's ASIO result.
struct AsioAnswer {
    bool sent = false;
    DWORD error = 0;
    int32_t result = asio::ASE_NotPresent;
    bool ok() const { return sent && result == asio::ASE_OK; }
};

class AsioInterfaceClient {
public:
    enum Event { kSwitch = 0, kReset, kResync, kLatency, kEvents };

    // A 32-bit host finds its handles and addresses in 4-byte slots.
    explicit AsioInterfaceClient(bool is32Bit) : is32Bit_(is32Bit) {}
    AsioInterfaceClient()
        : AsioInterfaceClient(platform::win32::current_process() != nullptr &&
                              platform::win32::current_process()->is_32bit()) {}
    ~AsioInterfaceClient() { close(); }
    AsioInterfaceClient(const AsioInterfaceClient&) = delete;
    AsioInterfaceClient& operator=(const AsioInterfaceClient&) = delete;

    // The first present interface of GUID_DEVINTERFACE_ASIO, opened for overlapped I/O.
    bool open() {
        std::u16string path = first_interface();
        if (path.empty()) return false;
        handle_ = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
        return handle_ != INVALID_HANDLE_VALUE;
    }
    // Closes the handle and the events (the root closes the connection with the handle).
    void close() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        for (HANDLE& event : events_) {
            if (event != nullptr) CloseHandle(event);
            event = nullptr;
        }
        block_ = nullptr;
        outputs_.clear();
        inputs_.clear();
    }
    // Forgets the handle and the events without closing them, as a host that
    // dies leaves them; ending its process closes them.
    void abandon() {
        handle_ = INVALID_HANDLE_VALUE;
        for (HANDLE& event : events_) event = nullptr;
        block_ = nullptr;
    }
    HANDLE handle() const { return handle_; }
    bool is_32bit() const { return is32Bit_; }

    bool version(asio::AsioVersionReply* reply) {
        std::memset(reply, 0, sizeof(*reply));
        return control(asio::kIoctlAsioGetVersion, nullptr, 0, reply, sizeof(*reply));
    }
    AsioAnswer info(asio::AsioDeviceInfo* info) {
        std::memset(info, 0, sizeof(*info));
        AsioAnswer answer;
        answer.sent = control(asio::kIoctlAsioGetInfo, nullptr, 0, info, sizeof(*info), &answer.error);
        answer.result = info->result;
        return answer;
    }

    // Creates the four auto-reset events (once) and opens the session with them.
    AsioAnswer open_session() {
        for (HANDLE& event : events_) {
            if (event == nullptr) event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        }
        asio::AsioOpenRequest request{};
        for (int i = 0; i < kEvents; ++i) {
            put_slot(&request, offsetof(asio::AsioOpenRequest, switchEvent) + 8 * i,
                     reinterpret_cast<uint64_t>(events_[i]));
        }
        AsioAnswer answer = send(asio::kIoctlAsioOpen, &request, sizeof(request));
        if (answer.ok()) {
            context_ = request.context;
            uint64_t address = get_slot(&request, offsetof(asio::AsioOpenRequest, sharedBlock));
            block_ = reinterpret_cast<asio::AsioSharedBlock*>(address);
            blockAddress_ = reinterpret_cast<uint64_t>(block_);
        }
        return answer;
    }

    // Buffers of `frames` a half for the given channel numbers.
    AsioAnswer create_buffers(uint32_t frames, const std::vector<uint32_t>& outputs,
                              const std::vector<uint32_t>& inputs, uint32_t channelCount = 0) {
        auto request = std::make_unique<asio::AsioCreateBuffersRequest>();
        std::memset(request.get(), 0, sizeof(*request));
        request->context = context_;
        request->result = asio::ASE_NotPresent;
        request->bufferSize = frames;
        request->channelCount =
            channelCount != 0 ? channelCount : static_cast<uint32_t>(outputs.size() + inputs.size());
        for (uint32_t c : outputs) request->outputEnable[c] = 1;
        for (uint32_t c : inputs) request->inputEnable[c] = 1;
        AsioAnswer answer = send(asio::kIoctlAsioCreateBuffers, request.get(), sizeof(*request));
        if (!answer.ok()) return answer;
        frames_ = frames;
        outputs_.clear();
        inputs_.clear();
        for (uint32_t c : outputs) outputs_[c] = buffer_address(request.get(), false, c);
        for (uint32_t c : inputs) inputs_[c] = buffer_address(request.get(), true, c);
        return answer;
    }

    AsioAnswer dispose_buffers() {
        AsioAnswer answer = simple(asio::kIoctlAsioDisposeBuffers);
        if (answer.ok()) {
            outputs_.clear();
            inputs_.clear();
        }
        return answer;
    }
    AsioAnswer start() { return simple(asio::kIoctlAsioStart); }
    AsioAnswer stop() { return simple(asio::kIoctlAsioStop); }
    AsioAnswer close_session() {
        AsioAnswer answer = simple(asio::kIoctlAsioClose);
        if (answer.ok()) block_ = nullptr;
        return answer;
    }
    AsioAnswer buffer_size(asio::AsioBufferSizeReply* reply) {
        std::memset(reply, 0, sizeof(*reply));
        reply->context = context_;
        reply->result = asio::ASE_NotPresent;
        return send(asio::kIoctlAsioGetBufferSize, reply, sizeof(*reply));
    }
    AsioAnswer can_sample_rate(uint32_t rate) { return simple(asio::kIoctlAsioCanSampleRate, rate); }
    AsioAnswer set_sample_rate(uint32_t rate) { return simple(asio::kIoctlAsioSetSampleRate, rate); }

    // Waits for an event (wall-clock milliseconds; 0 only looks).
    bool wait(Event event, DWORD ms) {
        return events_[event] != nullptr && WaitForSingleObject(events_[event], ms) == WAIT_OBJECT_0;
    }
    bool wait_switch(DWORD ms) { return wait(kSwitch, ms); }
    HANDLE event(Event which) const { return events_[which]; }

    // The shared block, read and written as the ASIO driver's thread does, without a lock.
    asio::AsioSharedBlock* block() const { return block_; }
    uint64_t block_address() const { return blockAddress_; }
    uint64_t context() const { return context_; }
    void set_context(uint64_t context) { context_ = context; }
    int32_t buffer_index() const { return __atomic_load_n(&block_->bufferIndex, __ATOMIC_ACQUIRE); }
    uint32_t switch_sequence() const { return __atomic_load_n(&block_->switchSequence, __ATOMIC_ACQUIRE); }
    uint64_t sample_position() const { return __atomic_load_n(&block_->samplePosition, __ATOMIC_RELAXED); }
    uint64_t system_time() const { return __atomic_load_n(&block_->systemTime, __ATOMIC_RELAXED); }
    int32_t input_latency() const { return __atomic_load_n(&block_->inputLatency, __ATOMIC_ACQUIRE); }
    int32_t output_latency() const { return __atomic_load_n(&block_->outputLatency, __ATOMIC_ACQUIRE); }
    void acknowledge(uint32_t sequence) { __atomic_store_n(&block_->switchAck, sequence, __ATOMIC_RELEASE); }

    // A channel's half of `frames()` samples, where this process reaches it.
    uint32_t frames() const { return frames_; }
    int32_t* output(uint32_t channel, int half) { return half_of(outputs_, channel, half); }
    int32_t* input(uint32_t channel, int half) { return half_of(inputs_, channel, half); }
    uint64_t output_address(uint32_t channel) const { return address_of(outputs_, channel); }
    uint64_t input_address(uint32_t channel) const { return address_of(inputs_, channel); }

    // Any request, raw: `record` is input and output alike.
    bool control(DWORD code, void* in, DWORD inBytes, void* out, DWORD outBytes, DWORD* error = nullptr) {
        DWORD bytes = 0;
        BOOL ok = DeviceIoControl(handle_, code, in, inBytes, out, outBytes, &bytes, nullptr);
        if (error != nullptr) *error = ok ? ERROR_SUCCESS : GetLastError();
        return ok != FALSE;
    }

private:
    static std::u16string first_interface() { return InterfacePath(GUID_DEVINTERFACE_ASIO); }

    AsioAnswer send(DWORD code, void* record, DWORD bytes) {
        AsioAnswer answer;
        answer.sent = control(code, record, bytes, record, bytes, &answer.error);
        int32_t result;
        std::memcpy(&result, static_cast<uint8_t*>(record) + offsetof(asio::AsioRequest, result), sizeof(result));
        answer.result = answer.sent ? result : asio::ASE_NotPresent;
        return answer;
    }
    AsioAnswer simple(DWORD code, uint32_t value = 0) {
        asio::AsioRequest request{context_, asio::ASE_NotPresent, value};
        return send(code, &request, sizeof(request));
    }

    void put_slot(void* record, size_t offset, uint64_t value) {
        auto* bytes = static_cast<uint8_t*>(record) + offset;
        if (is32Bit_) {
            auto narrow = static_cast<uint32_t>(value);
            std::memcpy(bytes, &narrow, sizeof(narrow));
        } else {
            std::memcpy(bytes, &value, sizeof(value));
        }
    }
    uint64_t get_slot(const void* record, size_t offset) const {
        const auto* bytes = static_cast<const uint8_t*>(record) + offset;
        if (is32Bit_) {
            uint32_t narrow;
            std::memcpy(&narrow, bytes, sizeof(narrow));
            return narrow;
        }
        uint64_t value;
        std::memcpy(&value, bytes, sizeof(value));
        return value;
    }
    // A 64-bit host's buffer addresses are u64 slots; a 32-bit host's packed u32.
    uint64_t buffer_address(const asio::AsioCreateBuffersRequest* request, bool input, uint32_t channel) const {
        size_t table = input ? offsetof(asio::AsioCreateBuffersRequest, inputBuffers)
                             : offsetof(asio::AsioCreateBuffersRequest, outputBuffers);
        return get_slot(request, table + channel * (is32Bit_ ? sizeof(uint32_t) : sizeof(uint64_t)));
    }
    int32_t* half_of(const std::map<uint32_t, uint64_t>& buffers, uint32_t channel, int half) {
        auto it = buffers.find(channel);
        if (it == buffers.end()) return nullptr;
        return reinterpret_cast<int32_t*>(it->second) + size_t{frames_} * static_cast<size_t>(half);
    }
    static uint64_t address_of(const std::map<uint32_t, uint64_t>& buffers, uint32_t channel) {
        auto it = buffers.find(channel);
        return it == buffers.end() ? 0 : it->second;
    }

    const bool is32Bit_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    HANDLE events_[kEvents] = {};
    uint64_t context_ = 0;
    asio::AsioSharedBlock* block_ = nullptr;
    uint64_t blockAddress_ = 0;
    uint32_t frames_ = 0;
    std::map<uint32_t, uint64_t> outputs_;  // channel: address of its double buffer in this process
    std::map<uint32_t, uint64_t> inputs_;
};

// A playback sample of frame n on channel c: never silence, never another frame's or channel's.
inline int32_t AsioRampValue(uint64_t frame, uint32_t channel) {
    return static_cast<int32_t>(static_cast<uint32_t>((frame + 1) << 8) | (channel + 1));
}

// Plays a ramp on a host's channels and checks that each input channel brings
// back the ramp of the output channel of the same number at one latency (the
// simulated interface loops playback to capture). One switch at a time, as
// the ASIO driver's thread serves them: read the half the root finished, fill
// it with the next frames, acknowledge.
class AsioRampLoop {
public:
    struct Stats {
        uint64_t switches = 0;
        uint64_t missed = 0;      // switches that came and went unserved
        uint64_t late = 0;        // switches served only after the next one came: the host fell behind
        uint64_t frames = 0;      // capture frames checked
        int64_t latency = -1;     // capture frame less the playback frame it carries
        uint64_t mismatches = 0;  // samples that were neither silence before the ramp nor the ramp
        int64_t firstMismatch = -1;
    };

    AsioRampLoop(AsioInterfaceClient& host, std::vector<uint32_t> channels)
        : host_(host), channels_(std::move(channels)) {}

    // Serves one switch if one is signalled within `ms` (0: only looks).
    bool serve(DWORD ms = 0) {
        if (!host_.wait_switch(ms)) return false;
        uint32_t sequence = host_.switch_sequence();
        int half = host_.buffer_index();
        // The first switch after a start is sequence 1.
        if (sequence > lastSequence_ + 1) stats_.missed += sequence - lastSequence_ - 1;
        lastSequence_ = sequence;
        ++stats_.switches;
        uint32_t frames = host_.frames();
        for (uint32_t k = 0; k < frames; ++k) check(stats_.frames + k, half, k);
        stats_.frames += frames;
        for (uint32_t c : channels_) {
            int32_t* out = host_.output(c, half);
            for (uint32_t k = 0; k < frames; ++k) out[k] = AsioRampValue(produced_ + k, c);
        }
        produced_ += frames;
        // The device finished another half meanwhile: it may have reached this half before we were done.
        if (host_.switch_sequence() != sequence) ++stats_.late;
        host_.acknowledge(sequence);
        return true;
    }
    // Serves every switch signalled so far.
    unsigned serve_all() {
        unsigned served = 0;
        while (serve(0)) ++served;
        return served;
    }

    const Stats& stats() const { return stats_; }

private:
    void check(uint64_t index, int half, uint32_t k) {
        for (uint32_t c : channels_) {
            int32_t sample = host_.input(c, half)[k];
            if (stats_.latency < 0 && sample != 0 && c == channels_.front()) {
                uint64_t frame = (static_cast<uint32_t>(sample) >> 8) - 1;
                stats_.latency = static_cast<int64_t>(index) - static_cast<int64_t>(frame);
            }
            int32_t expected = 0;
            if (stats_.latency >= 0 && static_cast<int64_t>(index) >= stats_.latency) {
                expected = AsioRampValue(index - static_cast<uint64_t>(stats_.latency), c);
            }
            if (sample != expected) {
                if (stats_.firstMismatch < 0) stats_.firstMismatch = static_cast<int64_t>(index);
                ++stats_.mismatches;
            }
        }
    }

    AsioInterfaceClient& host_;
    std::vector<uint32_t> channels_;
    Stats stats_;
    uint32_t lastSequence_ = 0;
    uint64_t produced_ = 0;
};

}  // namespace vexa::test

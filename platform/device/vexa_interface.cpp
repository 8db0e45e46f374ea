#include "vexa_interface.h"

#include <algorithm>
#include <cstring>

#include "descriptor_builder.h"
#include "platform/machine/machine.h"

namespace platform::device {

namespace {

constexpr uint8_t kRequestCapabilities = 0;
constexpr uint8_t kRequestResync = 1;
constexpr uint8_t kRequestCommand = 2;
constexpr uint8_t kRequestReply = 3;
constexpr size_t kHeaderBytes = 16;
constexpr uint32_t kReplyReadyBit = 0x1;
constexpr uint32_t kReservedNotifyBits = 0x3;
constexpr size_t kInterruptBytes = 8;
constexpr size_t kMidiEventBytes = 4;
constexpr uint32_t kSampleBytes = 4;
constexpr uint32_t kMicroframes = 8000;
constexpr uint32_t kLoopbackLimitFrames = 192000;

struct Header {
    uint32_t commandWord;
    uint16_t length;
    uint16_t sequence;
    uint32_t status;
    uint32_t reserved;
};
static_assert(sizeof(Header) == kHeaderBytes);

// Capture frames per microframe at `rate`, in 16.16 fixed point.
uint32_t CaptureIncrement(uint32_t rate) { return static_cast<uint32_t>((uint64_t{rate} << 16) / kMicroframes); }

uint16_t CategoryOf(uint32_t word) { return static_cast<uint16_t>((word >> 12) & 0xFFF); }
uint16_t CommandOf(uint32_t word) { return static_cast<uint16_t>(word & 0xFFF); }

std::vector<uint8_t> Word(uint32_t word, size_t bytes) {
    std::vector<uint8_t> transfer(bytes, 0);
    // A zero-byte transfer has no buffer to copy into.
    if (bytes != 0) std::memcpy(transfer.data(), &word, std::min(bytes, sizeof(word)));
    return transfer;
}

}  // namespace

VexaInterface::VexaInterface(VexaModel model, VexaVariant variant, uint32_t serial)
    : SimulatedUsbDevice(make_device_descriptor(kVexaVendorId, data_sheet(model).productId, 0x0100, kManufacturerString,
                                                kProductString, kSerialString),
                         build_configuration(variant_data_sheet(model, variant), variant),
                         build_strings(data_sheet(model), serial)),
      sheet_(variant_data_sheet(model, variant)),
      firmware_(sheet_, serial),
      clock_(sheet_.rates, variant.clockSelector),
      playbackChannels_(std::max({sheet_.bands[0].outputChannels, sheet_.bands[1].outputChannels,
                                  sheet_.bands[2].outputChannels})),
      captureChannels_(std::max({sheet_.bands[0].inputChannels, sheet_.bands[1].inputChannels,
                                 sheet_.bands[2].inputChannels})),
      firstOutCables_(variant.twoMidiOutPorts ? 2 : variant.midiOutCables) {
    restart_loop_locked();
}

NTSTATUS VexaInterface::set_interface(UCHAR interfaceNumber, UCHAR alternateSetting) {
    NTSTATUS status = SimulatedUsbDevice::set_interface(interfaceNumber, alternateSetting);
    if (NT_SUCCESS(status) && (interfaceNumber == kPlaybackInterface || interfaceNumber == kCaptureInterface)) {
        std::lock_guard lock(lock_);
        restart_loop_locked();
    }
    return status;
}

void VexaInterface::restart_loop_locked() {
    loopbackRing_.reset(playbackChannels_, kLoopbackLimitFrames);
    loopbackRing_.prime(round_trip_frames(sheet_, clock_.rate()));
}

void VexaInterface::set_capabilities(const VendorCapabilities& capabilities) {
    std::lock_guard lock(lock_);
    capabilities_ = capabilities;
}

void VexaInterface::set_faults(const VendorFaults& faults) {
    std::lock_guard lock(lock_);
    faults_ = faults;
}

std::vector<ReceivedCommand> VexaInterface::received() const {
    std::lock_guard lock(lock_);
    return received_;
}

void VexaInterface::raise_event(uint32_t bits, bool withNextReply) {
    std::lock_guard lock(lock_);
    if (withNextReply) {
        pendingEventBits_ |= bits & ~kReservedNotifyBits;
    } else {
        vendorInterrupts_.push_back(Word(bits & ~kReservedNotifyBits, kInterruptBytes));
        inQueued_.store(true);
        announce_in();
    }
}

void VexaInterface::send_odd_interrupt(uint32_t word, size_t bytes) {
    std::lock_guard lock(lock_);
    vendorInterrupts_.push_back(Word(word, bytes));
    inQueued_.store(true);
    announce_in();
}

usb::ControlResult VexaInterface::control(const WDF_USB_CONTROL_SETUP_PACKET& setup, uint8_t* data) {
    bool classToInterface = (setup.bmRequestType & 0x60) == 0x20 && (setup.bmRequestType & 0x1F) == 1;
    if (classToInterface && (setup.wIndex & 0xFF) == kVendorInterface) return vendor_request(setup, data);
    if (classToInterface && (setup.wIndex & 0xFF) == kAudioControlInterface) return clock_.request(setup, data);
    return SimulatedUsbDevice::control(setup, data);
}

usb::ControlResult VexaInterface::vendor_request(const WDF_USB_CONTROL_SETUP_PACKET& setup, uint8_t* data) {
    bool in = (setup.bmRequestType & 0x80) != 0;
    std::unique_lock lock(lock_);
    switch (setup.bRequest) {
        case kRequestCapabilities: {
            if (!in || faults_.stallCapabilities) return {usb::kStall, 0};
            ULONG bytes = std::min<ULONG>(setup.wLength, sizeof(capabilities_));
            std::memcpy(data, &capabilities_, bytes);
            return {STATUS_SUCCESS, bytes};
        }
        case kRequestResync: {
            if (in) return {usb::kStall, 0};
            // A resync drops what the host never collected and restarts the exchange.
            outbox_.clear();
            for (uint64_t timer : announcements_) Machine::current().clock().cancel(timer);
            announcements_.clear();
            received_.push_back({0, 0, 0, {}, true});
            lock.unlock();
            queue_reply(0, 0, FirmwareReply{});
            return {STATUS_SUCCESS, 0};
        }
        case kRequestCommand: {
            if (faults_.hangCommands) return {usb::kNoAnswer, 0};
            if (in || faults_.stallCommands || setup.wLength < kHeaderBytes) return {usb::kStall, 0};
            Header header;
            std::memcpy(&header, data, kHeaderBytes);
            std::vector<uint8_t> payload(data + kHeaderBytes, data + setup.wLength);
            if (header.length != payload.size() || payload.size() > capabilities_.maxPayload) return {usb::kStall, 0};
            uint16_t category = CategoryOf(header.commandWord);
            uint16_t command = CommandOf(header.commandWord);
            received_.push_back({category, command, header.sequence, payload, false});
            uint32_t replyWord = faults_.wrongCommand ? header.commandWord + 1 : header.commandWord;
            auto replySequence = static_cast<uint16_t>(faults_.wrongSequence ? header.sequence + 1 : header.sequence);
            lock.unlock();
            queue_reply(replyWord, replySequence, firmware_.execute(category, command, payload));
            return {STATUS_SUCCESS, setup.wLength};
        }
        case kRequestReply: {
            if (!in || outbox_.empty()) return {usb::kStall, 0};
            std::vector<uint8_t> reply = std::move(outbox_.front());
            outbox_.pop_front();
            ULONG bytes = std::min<ULONG>(setup.wLength, static_cast<ULONG>(reply.size()));
            std::memcpy(data, reply.data(), bytes);
            return {STATUS_SUCCESS, bytes};
        }
        default:
            return {usb::kStall, 0};
    }
}

void VexaInterface::queue_reply(uint32_t commandWord, uint16_t sequence, const FirmwareReply& reply) {
    std::lock_guard lock(lock_);
    Header header{};
    header.commandWord = commandWord;
    header.sequence = sequence;
    header.status = reply.status;
    header.length = static_cast<uint16_t>(reply.payload.size() + faults_.extraLength);
    std::vector<uint8_t> bytes(kHeaderBytes + reply.payload.size());
    std::memcpy(bytes.data(), &header, kHeaderBytes);
    if (!reply.payload.empty()) std::memcpy(bytes.data() + kHeaderBytes, reply.payload.data(), reply.payload.size());
    outbox_.push_back(std::move(bytes));
    if (faults_.noReply) return;
    if (faults_.replyDelayMs == 0) {
        announce_reply();
        return;
    }
    Clock& clock = Machine::current().clock();
    announcements_.push_back(clock.schedule_at(clock.now() + Milliseconds(faults_.replyDelayMs), [this] {
        std::lock_guard late(lock_);
        announce_reply();
    }));
}

// Caller holds lock_.
void VexaInterface::announce_reply() {
    vendorInterrupts_.push_back(Word(kReplyReadyBit | pendingEventBits_, kInterruptBytes));
    pendingEventBits_ = 0;
    inQueued_.store(true);
    announce_in();
}

std::optional<std::vector<uint8_t>> VexaInterface::read_in(UCHAR endpointAddress, ULONG maxBytes) {
    // The host asks every frame on each reading pipe; while nothing is queued it needs no lock.
    if (!inQueued_.load()) return std::nullopt;
    std::lock_guard lock(lock_);
    // Cleared only here, under the lock every queueing holds: a word queued meanwhile sets it again.
    if (midiIn_.empty() && vendorInterrupts_.empty()) inQueued_.store(false);
    if (endpointAddress == kMidiInEndpoint) {
        if (midiIn_.empty()) return std::nullopt;
        size_t bytes = std::min<size_t>(midiIn_.size(), maxBytes / kMidiEventBytes * kMidiEventBytes);
        std::vector<uint8_t> transfer(midiIn_.begin(), midiIn_.begin() + static_cast<std::ptrdiff_t>(bytes));
        midiIn_.erase(midiIn_.begin(), midiIn_.begin() + static_cast<std::ptrdiff_t>(bytes));
        return transfer;
    }
    if (endpointAddress != kVendorInterruptEndpoint || vendorInterrupts_.empty()) return std::nullopt;
    std::vector<uint8_t> transfer = std::move(vendorInterrupts_.front());
    vendorInterrupts_.pop_front();
    if (transfer.size() > maxBytes) transfer.resize(maxBytes);
    return transfer;
}

std::shared_ptr<VexaInterface> make_vexa_interface(VexaModel model, VexaVariant variant, uint32_t serial) {
    return std::make_shared<VexaInterface>(model, variant, serial);
}

}  // namespace platform::device

namespace platform::device {

NTSTATUS VexaInterface::write_out(UCHAR endpointAddress, const uint8_t* data, ULONG bytes) {
    if (endpointAddress != kMidiOutEndpoint && endpointAddress != kSecondMidiOutEndpoint) return usb::kStall;
    std::lock_guard lock(lock_);
    uint8_t firstCable = endpointAddress == kSecondMidiOutEndpoint ? firstOutCables_ : 0;
    bool looped = false;
    for (ULONG offset = 0; offset + kMidiEventBytes <= bytes; offset += kMidiEventBytes) {
        std::array<uint8_t, 4> packet;
        std::memcpy(packet.data(), data + offset, kMidiEventBytes);
        midiOut_.emplace_back(endpointAddress, packet);
        unsigned port = firstCable + (packet[0] >> 4);
        if (midiLoopback_ && port < 16) {
            midiIn_.push_back(static_cast<uint8_t>(port << 4 | (packet[0] & 0xF)));
            midiIn_.insert(midiIn_.end(), packet.begin() + 1, packet.end());
            looped = true;
        }
    }
    if (looped) {
        inQueued_.store(true);
        announce_in();
    }
    return STATUS_SUCCESS;
}

// Inline: a frame's packets run through these, under one lock.
inline void VexaInterface::iso_out_locked(const uint8_t* data, ULONG bytes, bool lend) {
    // A stream's packets keep their length for long stretches: the division runs when it changes.
    if (bytes != outPacketBytes_) {
        outPacketBytes_ = bytes;
        outPacketFrames_ = bytes / (uint32_t{playbackChannels_} * kSampleBytes);
    }
    size_t frames = outPacketFrames_;
    if (loopback_) {
        if (lend) {
            loopbackRing_.lend(data, frames);
        } else {
            loopbackRing_.push(data, frames);
        }
    }
    if (recorded_.size() < recordLimit_ * playbackChannels_) record_locked(data, frames);
    playbackFrames_ += frames;
}

inline ULONG VexaInterface::iso_in_locked(uint32_t increment, uint8_t* data, ULONG maxBytes) {
    if (emptySkip_ > 0) {
        --emptySkip_;
    } else if (emptyCapturePackets_ > 0) {
        --emptyCapturePackets_;
        return 0;
    }
    captureAccumulator_ += increment;
    uint32_t frames = captureAccumulator_ >> 16;
    captureAccumulator_ &= 0xFFFF;
    uint32_t frameBytes = uint32_t{captureChannels_} * kSampleBytes;
    // The room is nearly always enough: the division only when it is not.
    if (uint64_t{frames} * frameBytes > maxBytes) frames = maxBytes / frameBytes;
    if (loopback_) {
        loopbackRing_.pop(data, frames, captureChannels_);
    } else {
        fill_capture_locked(data, frames);
    }
    captureFrames_ += frames;
    return frames * frameBytes;
}

void VexaInterface::iso_out(UCHAR endpointAddress, uint64_t, unsigned, const uint8_t* data, ULONG bytes) {
    if (endpointAddress != kPlaybackEndpoint) return;
    std::lock_guard lock(lock_);
    if (current_setting_locked(kPlaybackInterface) != 0) iso_out_locked(data, bytes, false);
}

ULONG VexaInterface::iso_in(UCHAR endpointAddress, uint64_t, unsigned, uint8_t* data, ULONG maxBytes) {
    if (endpointAddress != kCaptureEndpoint) return 0;
    uint32_t increment = CaptureIncrement(clock_.rate());
    std::lock_guard lock(lock_);
    return current_setting_locked(kCaptureInterface) != 0 ? iso_in_locked(increment, data, maxBytes) : 0;
}

void VexaInterface::iso_frame(uint64_t, IsoPacket* packets, size_t count) {
    uint32_t increment = CaptureIncrement(clock_.rate());
    std::lock_guard lock(lock_);
    // The settings hold for the frame: selections come with control requests, between frames.
    bool playing = current_setting_locked(kPlaybackInterface) != 0;
    bool capturing = current_setting_locked(kCaptureInterface) != 0;
    // A running loop with no recording and no empty packets asked for stays so
    // for the whole frame (those only wind down within it): its packets skip those checks.
    if (playing && capturing && loopback_ && emptySkip_ == 0 && emptyCapturePackets_ == 0 &&
        recorded_.size() >= recordLimit_ * playbackChannels_) {
        loop_frame_locked(increment, packets, count);
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        IsoPacket& packet = packets[i];
        if (packet.endpointAddress == kPlaybackEndpoint) {
            // The frame's packets stay put until it returns: the ring may borrow them meanwhile.
            if (playing) iso_out_locked(packet.data, packet.bytes, true);
        } else if (packet.endpointAddress == kCaptureEndpoint) {
            packet.bytes = capturing ? iso_in_locked(increment, packet.data, packet.bytes) : 0;
        } else if ((packet.endpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0) {
            packet.bytes = 0;  // an IN endpoint that carries nothing
        }
    }
    loopbackRing_.settle();
}

void VexaInterface::loop_frame_locked(uint32_t increment, IsoPacket* packets, size_t count) {
    // What iso_out_locked and iso_in_locked do for such a frame, its counters kept in registers.
    uint32_t frameBytes = uint32_t{captureChannels_} * kSampleBytes;
    uint32_t accumulator = captureAccumulator_;
    uint64_t played = 0;
    uint64_t captured = 0;
    for (size_t i = 0; i < count; ++i) {
        IsoPacket& packet = packets[i];
        if (packet.endpointAddress == kPlaybackEndpoint) {
            if (packet.bytes != outPacketBytes_) {
                outPacketBytes_ = packet.bytes;
                outPacketFrames_ = packet.bytes / (uint32_t{playbackChannels_} * kSampleBytes);
            }
            // The frame's packets stay put until it returns: the ring may borrow
            // them meanwhile (behind the route's delay, capture takes older
            // frames, and the frame's packets go in with one copy at its end).
            loopbackRing_.lend(packet.data, outPacketFrames_);
            played += outPacketFrames_;
        } else if (packet.endpointAddress == kCaptureEndpoint) {
            accumulator += increment;
            uint32_t frames = accumulator >> 16;
            accumulator &= 0xFFFF;
            if (uint64_t{frames} * frameBytes > packet.bytes) frames = packet.bytes / frameBytes;
            loopbackRing_.pop(packet.data, frames, captureChannels_);
            captured += frames;
            packet.bytes = frames * frameBytes;
        } else if ((packet.endpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0) {
            packet.bytes = 0;  // an IN endpoint that carries nothing
        }
    }
    captureAccumulator_ = accumulator;
    playbackFrames_ += played;
    captureFrames_ += captured;
    loopbackRing_.settle();
}

void VexaInterface::record_locked(const uint8_t* data, size_t frames) {
    size_t limit = recordLimit_ * playbackChannels_;
    size_t samples = std::min(limit - recorded_.size(), frames * playbackChannels_);
    size_t at = recorded_.size();
    recorded_.resize(at + samples);
    std::memcpy(recorded_.data() + at, data, samples * kSampleBytes);
}

void VexaInterface::fill_capture_locked(uint8_t* data, uint32_t frames) {
    size_t frameBytes = size_t{captureChannels_} * kSampleBytes;
    if (!captureSource_) {
        std::memset(data, 0, frames * frameBytes);
        return;
    }
    for (uint32_t f = 0; f < frames; ++f) {
        for (unsigned c = 0; c < captureChannels_; ++c) {
            int32_t sample = captureSource_(captureFrames_ + f, c);
            std::memcpy(data + f * frameBytes + c * kSampleBytes, &sample, kSampleBytes);
        }
    }
}

void VexaInterface::set_loopback(bool on) {
    std::lock_guard lock(lock_);
    loopback_ = on;
    restart_loop_locked();
}

void VexaInterface::set_capture_source(std::function<int32_t(uint64_t, unsigned)> source) {
    std::lock_guard lock(lock_);
    captureSource_ = std::move(source);
}

void VexaInterface::record_playback(size_t maxFrames) {
    std::lock_guard lock(lock_);
    recordLimit_ = maxFrames;
    recorded_.clear();
}

std::vector<int32_t> VexaInterface::recorded_playback() const {
    std::lock_guard lock(lock_);
    return recorded_;
}

uint64_t VexaInterface::playback_frames() const {
    std::lock_guard lock(lock_);
    return playbackFrames_;
}

uint64_t VexaInterface::capture_frames() const {
    std::lock_guard lock(lock_);
    return captureFrames_;
}

void VexaInterface::empty_capture_packets(unsigned skip, unsigned count) {
    std::lock_guard lock(lock_);
    emptySkip_ = skip;
    emptyCapturePackets_ = count;
}

void VexaInterface::set_midi_loopback(bool on) {
    std::lock_guard lock(lock_);
    midiLoopback_ = on;
}

void VexaInterface::queue_midi_in(const std::vector<uint8_t>& packets) {
    std::lock_guard lock(lock_);
    midiIn_.insert(midiIn_.end(), packets.begin(), packets.end());
    inQueued_.store(true);
    announce_in();
}

std::vector<std::array<uint8_t, 4>> VexaInterface::midi_out(UCHAR endpointAddress) const {
    std::lock_guard lock(lock_);
    std::vector<std::array<uint8_t, 4>> packets;
    for (auto& [endpoint, packet] : midiOut_) {
        if (endpoint == endpointAddress) packets.push_back(packet);
    }
    return packets;
}

}  // namespace platform::device

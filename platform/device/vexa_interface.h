// The simulated VEXA interface (the firmware stand-in) for one model: its
// descriptors and strings, the vendor channel with the firmware's command
// table behind it, and the interrupt endpoints that announce replies and
// device events. Fault knobs make it misbehave the ways a host must survive.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "firmware.h"
#include "loopback_ring.h"
#include "simulated_usb_device.h"
#include "uac2_clock.h"
#include "vexa_models.h"

namespace platform::device {

inline constexpr uint64_t kVendorChannelMagic = 0x1810196604061973ull;

struct VendorCapabilities {
    uint64_t magic = kVendorChannelMagic;
    uint32_t protocolLevel = 2;
    uint32_t minCompatibleLevel = 1;
    uint32_t maxPayload = 512;
    uint32_t reserved = 0;
};
static_assert(sizeof(VendorCapabilities) == 24);

// Ways the vendor channel can misbehave.
struct VendorFaults {
    bool noReply = false;         // replies are never announced
    uint32_t replyDelayMs = 0;    // replies are announced this late
    bool wrongSequence = false;   // replies carry the next sequence number
    bool wrongCommand = false;    // replies name the next command
    uint16_t extraLength = 0;     // replies claim this many bytes more than they carry
    bool stallCommands = false;   // command requests are stalled
    bool hangCommands = false;    // command requests are never answered
    bool stallCapabilities = false;
};

// One command as the firmware received it.
struct ReceivedCommand {
    uint16_t category;
    uint16_t command;
    uint16_t sequence;
    std::vector<uint8_t> payload;
    bool resync;  // sent as request 1
};

class VexaInterface : public SimulatedUsbDevice {
public:
    explicit VexaInterface(VexaModel model, VexaVariant variant = {}, uint32_t serial = 1);

    const DataSheet& sheet() const { return sheet_; }
    Firmware& firmware() { return firmware_; }
    Uac2Clock& clock() { return clock_; }

    usb::ControlResult control(const WDF_USB_CONTROL_SETUP_PACKET& setup, uint8_t* data) override;
    // Selecting either streaming interface's setting restarts the loopback route.
    NTSTATUS set_interface(UCHAR interfaceNumber, UCHAR alternateSetting) override;
    std::optional<std::vector<uint8_t>> read_in(UCHAR endpointAddress, ULONG maxBytes) override;
    // Every queued interrupt word and MIDI packet is announced to the host.
    bool announces_in() const override { return true; }
    NTSTATUS write_out(UCHAR endpointAddress, const uint8_t* data, ULONG bytes) override;
    void iso_out(UCHAR endpointAddress, uint64_t frame, unsigned microframe, const uint8_t* data, ULONG bytes) override;
    ULONG iso_in(UCHAR endpointAddress, uint64_t frame, unsigned microframe, uint8_t* data, ULONG maxBytes) override;
    // The streams run every microframe: a frame's packets take the lock once.
    void iso_frame(uint64_t frame, IsoPacket* packets, size_t count) override;

    // Audio: samples per frame on the wire, the capture source, and what came in.
    uint16_t playback_channels() const { return playbackChannels_; }
    uint16_t capture_channels() const { return captureChannels_; }
    // Loopback (the default): capture channel c carries playback channel c
    // (channels beyond the playback's carry 0), as an analog loop from the
    // outputs to the inputs would: a frame comes back the band's output and
    // input latencies later (round_trip_frames at the clock's rate when the
    // route restarted; silence before). Selecting a streaming interface's
    // setting restarts the route: what waited in it is gone. Without loopback,
    // capture carries what `source` gives for each frame and channel.
    void set_loopback(bool on);
    void set_capture_source(std::function<int32_t(uint64_t frame, unsigned channel)> source);
    // Keeps the playback frames that arrive (interleaved), up to `maxFrames`.
    void record_playback(size_t maxFrames);
    std::vector<int32_t> recorded_playback() const;
    uint64_t playback_frames() const;
    uint64_t capture_frames() const;
    // After `skip` more capture packets, the next `count` arrive empty.
    void empty_capture_packets(unsigned skip, unsigned count);

    // MIDI: 4-byte event packets the device has for the host, and those the host sent.
    void queue_midi_in(const std::vector<uint8_t>& packets);
    // MIDI loopback (the default): every event the host sends comes back on
    // the IN endpoint, on the cable that carries its port's number (the OUT
    // endpoints' cables counted one after another).
    void set_midi_loopback(bool on);
    std::vector<std::array<uint8_t, 4>> midi_out(UCHAR endpointAddress) const;

    // Vendor channel knobs and records.
    void set_capabilities(const VendorCapabilities& capabilities);
    void set_faults(const VendorFaults& faults);
    std::vector<ReceivedCommand> received() const;
    // Device notification bits (2-31) on the vendor interrupt endpoint; with
    // `withNextReply` they ride in the same word as the next reply-ready bit.
    void raise_event(uint32_t bits, bool withNextReply = false);
    // A transfer of `bytes` bytes (not the protocol's 8) on the vendor interrupt endpoint.
    void send_odd_interrupt(uint32_t word, size_t bytes);

private:
    // One packet of a selected streaming setting; caller holds lock_.
    // `increment` is the capture frames per microframe, 16.16 (CaptureIncrement).
    // With `lend` the loopback may read `data` until its ring is settled.
    void iso_out_locked(const uint8_t* data, ULONG bytes, bool lend);
    ULONG iso_in_locked(uint32_t increment, uint8_t* data, ULONG maxBytes);
    // A frame of a running loop (playing, capturing, loopback, nothing
    // recorded, no empty packets due); caller holds lock_.
    void loop_frame_locked(uint32_t increment, IsoPacket* packets, size_t count);
    // Empties the loopback route and primes it with its delay at the clock's rate; caller holds lock_.
    void restart_loop_locked();
    // Keeps what record_playback asked for; caller holds lock_.
    void record_locked(const uint8_t* data, size_t frames);
    // Capture without loopback: the capture source's samples, or silence; caller holds lock_.
    void fill_capture_locked(uint8_t* data, uint32_t frames);
    usb::ControlResult vendor_request(const WDF_USB_CONTROL_SETUP_PACKET& setup, uint8_t* data);
    void queue_reply(uint32_t commandWord, uint16_t sequence, const FirmwareReply& reply);
    void announce_reply();

    const DataSheet sheet_;
    Firmware firmware_;
    Uac2Clock clock_;
    VendorCapabilities capabilities_;                 // guarded by lock_
    VendorFaults faults_;                             // guarded by lock_
    std::deque<std::vector<uint8_t>> outbox_;         // replies not yet read; guarded by lock_
    std::deque<std::vector<uint8_t>> vendorInterrupts_;  // guarded by lock_
    std::vector<uint64_t> announcements_;             // clock timers of late replies; guarded by lock_
    std::vector<ReceivedCommand> received_;           // guarded by lock_
    uint32_t pendingEventBits_ = 0;                   // guarded by lock_

    uint16_t playbackChannels_;
    uint16_t captureChannels_;
    bool loopback_ = true;                            // guarded by lock_
    std::function<int32_t(uint64_t, unsigned)> captureSource_;  // guarded by lock_
    LoopbackRing loopbackRing_;                      // playback frames not yet captured; guarded by lock_
    std::vector<int32_t> recorded_;                   // guarded by lock_
    size_t recordLimit_ = 0;                          // frames; guarded by lock_
    uint64_t playbackFrames_ = 0;                     // guarded by lock_
    uint64_t captureFrames_ = 0;                      // guarded by lock_
    uint32_t captureAccumulator_ = 0;                 // 16.16 frames; guarded by lock_
    ULONG outPacketBytes_ = 0;                        // the last playback packet's length; guarded by lock_
    size_t outPacketFrames_ = 0;                      // its frames; guarded by lock_
    unsigned emptySkip_ = 0;                          // guarded by lock_
    unsigned emptyCapturePackets_ = 0;                // guarded by lock_
    std::deque<uint8_t> midiIn_;                      // guarded by lock_
    // Something may be in midiIn_ or vendorInterrupts_: set under lock_ with
    // every queueing, cleared under it once both are empty, read without it.
    std::atomic<bool> inQueued_{false};
    bool midiLoopback_ = true;                        // guarded by lock_
    const uint8_t firstOutCables_;                    // cables of the first OUT endpoint
    std::vector<std::pair<UCHAR, std::array<uint8_t, 4>>> midiOut_;  // guarded by lock_
};

std::shared_ptr<VexaInterface> make_vexa_interface(VexaModel model, VexaVariant variant = {}, uint32_t serial = 1);

}  // namespace platform::device

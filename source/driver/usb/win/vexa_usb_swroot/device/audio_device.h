// The root driver's picture of one USB audio device: what its firmware and
// the USB function driver report (identity, clocks, rates, channels, MIDI
// ports), read at arrival and again in groups when the device signals a
// change. The transport operations are the concrete device's; every command
// goes through Command, which resynchronises the vendor channel once after a
// header, sequence or stale-reply mismatch.
#pragma once

#include "pool_memory.h"
#include "source/driver/usb/win/vexa_usb_device/public/audio_device_interface.h"
#include "status_error.h"

inline constexpr ULONG kMaxRates = 16;
inline constexpr ULONG kMaxClockSources = 16;
inline constexpr ULONG kMaxBandChannels = 64;
inline constexpr ULONG kMaxMidiPortsPerDirection = 16;
inline constexpr ULONG kNameBytes = 32;
inline constexpr ULONG kRateBands = 3;

#pragma pack(push, 1)
// DCP 0/2: the firmware's identity block.
struct DeviceInfo {
    ULONG64 leadingWord;      // +0
    ULONG64 firmwareVersion;  // +8, PackedVersion
    UCHAR reserved16[32];
    ULONG identityWord;       // +48
    ULONG productId;          // +52
    UCHAR reserved56[16];
    ULONG serialNumber;       // +72
    UCHAR reserved76[12];
};
static_assert(sizeof(DeviceInfo) == 88);

// DCP 7/1: channel counts and latencies of one rate band.
struct RateModeInfo {
    USHORT outputChannelCount;
    USHORT inputChannelCount;
    ULONG outputLatency;  // frames
    ULONG inputLatency;   // frames
    UCHAR reserved[12];
};
static_assert(sizeof(RateModeInfo) == 24);

// One channel: the 16-byte DCP 7/2 or 7/3 reply, then its name (5/0).
struct ChannelRecord {
    UCHAR reply[16];
    char name[kNameBytes];
};
static_assert(sizeof(ChannelRecord) == 48);

struct ClockSourceEntry {
    USHORT id;
    USHORT nameStringId;
};
static_assert(sizeof(ClockSourceEntry) == 4);

struct MidiPortEntry {
    UCHAR bytes[12];  // name string id at +2
};
#pragma pack(pop)

// The band of a rate in the device model: below 50000 Hz, below 100000 Hz, from 100000 Hz.
ULONG RateBand(ULONG rate);

// A clock id is 16 bits; the bus commands and the registry carry it in 32,
// and this is the one place that cuts it.
inline constexpr ULONG kClockIdMask = 0xFFFF;
inline USHORT ClockId(ULONG clock) { return static_cast<USHORT>(clock & kClockIdMask); }

class AudioDevice : public PoolObject {
public:
    AudioDevice();
    virtual ~AudioDevice() = default;

    // Reads the whole configuration. PASSIVE_LEVEL.
    virtual bool Initialize() { return ReadConfiguration(); }
    virtual bool ReadConfiguration();

    // Transport, the concrete device's.
    virtual bool StartDeviceStreaming() = 0;
    virtual bool StopDeviceStreaming() = 0;
    virtual bool IsStreaming() = 0;
    [[nodiscard]] virtual ULONG SendCommand(USHORT category, USHORT command, const void* in, ULONG64 inLength,
                                            void* out, ULONG64* outLength) = 0;
    virtual ULONG GetDeviceKind() = 0;

    // Identity (the cached DeviceInfo).
    virtual ULONG GetIdentityWord() { return deviceInfo_.identityWord; }
    virtual ULONG GetProductId() { return deviceInfo_.productId; }
    virtual ULONG GetSerialNumber() { return deviceInfo_.serialNumber; }
    virtual ULONG64 GetInfoLeadingWord() { return deviceInfo_.leadingWord; }
    virtual ULONG64 GetFirmwareVersion() { return deviceInfo_.firmwareVersion; }

    // Clock.
    virtual ULONG GetClockSource() { return cachedClock_; }
    virtual bool GetSampleRateAt(ULONG index, ULONG* rate);
    virtual ULONG GetSampleRate() { return cachedRate_; }
    virtual bool SetClock(ULONG rate, USHORT clock);
    virtual UCHAR GetClockStatusBit0() { return clockStatus0_; }
    virtual UCHAR TakeClockStatusBit1();
    virtual ULONG GetClockSourceCount() { return clockSourceCount_; }
    virtual bool GetClockSourceAt(ULONG index, USHORT* id, char* name, ULONG size);
    virtual bool GetClockSourceName(USHORT id, char* name, ULONG size);
    virtual USHORT GetFirstClockSource() { return clockSources_[0].id; }
    virtual ULONG GetSampleRateCount() { return rateCount_; }
    virtual ULONG GetStreamInfoLeadingWord();

    // Channels by rate band.
    virtual ULONG GetInputChannelCount(ULONG rate) { return rateModeInfo_[RateBand(rate)].inputChannelCount; }
    virtual ULONG GetOutputChannelCount(ULONG rate) { return rateModeInfo_[RateBand(rate)].outputChannelCount; }
    virtual ULONG GetDeviceOutputLatency(ULONG rate) { return rateModeInfo_[RateBand(rate)].outputLatency; }
    virtual ULONG GetDeviceInputLatency(ULONG rate) { return rateModeInfo_[RateBand(rate)].inputLatency; }
    virtual bool GetOutputChannelName(ULONG rate, ULONG channel, char* name, ULONG size);
    virtual bool GetInputChannelName(ULONG rate, ULONG channel, char* name, ULONG size);

    // MIDI ports.
    virtual USHORT GetMidiInPortCount() { return midiInPortCount_; }
    virtual USHORT GetMidiOutPortCount() { return midiOutPortCount_; }
    virtual bool GetMidiInPortName(ULONG index, char* name, ULONG size);
    virtual bool GetMidiOutPortName(ULONG index, char* name, ULONG size);

    // One DCP command: SendCommand, with one resynchronisation and one repeat
    // after a result of 3, kUsbResultHeaderMismatch or kUsbResultSequenceMismatch. PASSIVE_LEVEL.
    [[nodiscard]] virtual ULONG Command(USHORT category, USHORT command, const void* in, ULONG64 inLength, void* out,
                                        ULONG64* outLength);
    // Re-reads the groups the notification bits name.
    virtual void Refresh(ULONG bits);

    // The id the child devices and WDM settings know the device by.
    ULONG64 GetDeviceId64();

    // The device's PAL identity: an opaque nonzero number the engine gives it
    // at arrival. User mode only compares it; it is never an address.
    ULONG64 PalId() const { return palId_; }
    void SetPalId(ULONG64 id) { palId_ = id; }

protected:
    bool ReadStringById(USHORT id, char* destination, ULONG size);
    bool ReadDeviceInfo();
    bool ReadClock();
    bool ReadClockTable(USHORT command, void* table, ULONG bytes, ULONG entryBytes, ULONG* count);
    bool ReadClockSources();
    bool ReadSampleRates();
    bool ReadChannels();
    bool ReadMidiPorts();

private:
    DeviceInfo deviceInfo_{};
    ULONG cachedRate_ = 0;
    USHORT cachedClock_ = 0;
    USHORT cachedReserved_ = 0;
    ULONG rateCount_ = 0;
    ULONG rates_[kMaxRates] = {};
    ULONG clockSourceCount_ = 0;
    ClockSourceEntry clockSources_[kMaxClockSources] = {};
    char clockSourceNames_[kMaxClockSources][kNameBytes] = {};
    UCHAR clockStatus0_ = 0;
    UCHAR clockStatus1_ = 0;  // cleared when taken
    UCHAR streamInfo_[40] = {};
    RateModeInfo rateModeInfo_[kRateBands] = {};
    ChannelRecord outputChannelRecords_[kRateBands][kMaxBandChannels] = {};
    ChannelRecord inputChannelRecords_[kRateBands][kMaxBandChannels] = {};
    USHORT midiInPortCount_ = 0;
    USHORT midiOutPortCount_ = 0;
    MidiPortEntry midiInPorts_[kMaxMidiPortsPerDirection] = {};
    MidiPortEntry midiOutPorts_[kMaxMidiPortsPerDirection] = {};
    char midiInPortNames_[kMaxMidiPortsPerDirection][kNameBytes] = {};
    char midiOutPortNames_[kMaxMidiPortsPerDirection][kNameBytes] = {};
    ULONG64 palId_ = 0;
};

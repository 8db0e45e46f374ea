// The audio device model: its caches of the firmware's replies, the reads
// that fill them, and the resynchronisation rule of every command.
#define LOG_FILE_NUMBER 153

#include "device/audio_device.h"

#include "logger.h"

using namespace vexa::log;

namespace {

constexpr ULONG kBand1From = 50000;
constexpr ULONG kBand2From = 100000;
constexpr USHORT kCategoryGlobal = 0;
constexpr USHORT kCategoryStrings = 5;
constexpr USHORT kCategoryChannels = 7;
constexpr USHORT kCategoryMidi = 8;
constexpr USHORT kGlobalDeviceInfo = 2;
constexpr USHORT kClockStatus = 4;
constexpr USHORT kChannelsStreamInfo = 0;
constexpr USHORT kChannelsRateMode = 1;
constexpr USHORT kChannelsOutput = 2;
constexpr USHORT kChannelsInput = 3;
constexpr USHORT kMidiCounts = 0;
constexpr USHORT kMidiInPorts = 1;
constexpr USHORT kMidiOutPorts = 2;
constexpr ULONG kRefreshClockGroup = 0x4;
constexpr ULONG kRefreshClock = 0x8;
constexpr ULONG kRefreshChannels = 0x10;
constexpr ULONG kRefreshMidi = 0x20;

// Copies at most 32 bytes and the caller's size, and ends with a NUL in the last byte copied.
bool CopyName(const char* source, char* name, ULONG size) {
    if (name == nullptr || size == 0) return false;
    ULONG bytes = size < kNameBytes ? size : kNameBytes;
    RtlCopyMemory(name, source, bytes);
    name[bytes - 1] = 0;
    return true;
}

// Results after which the vendor channel is resynchronised and the command repeated once.
constexpr ULONG kResyncResults[] = {3, kUsbResultHeaderMismatch, kUsbResultSequenceMismatch};

bool Resynchronises(ULONG result) {
    for (ULONG r : kResyncResults) {
        if (r == result) return true;
    }
    return false;
}

}  // namespace

ULONG RateBand(ULONG rate) {
    if (rate < kBand1From) return 0;
    return rate < kBand2From ? 1 : 2;
}

AudioDevice::AudioDevice() = default;

ULONG AudioDevice::Command(USHORT category, USHORT command, const void* in, ULONG64 inLength, void* out,
                           ULONG64* outLength) {
    ULONG64 capacity = outLength != nullptr ? *outLength : 0;
    ULONG result = SendCommand(category, command, in, inLength, out, outLength);
    if (!Resynchronises(result) || (category == kCategoryGlobal && command == kDcpGlobalResync)) return result;
    TRACE(kLogWarning | kLogInterface, result, category, command);
    (void)SendCommand(kCategoryGlobal, kDcpGlobalResync, nullptr, 0, nullptr, nullptr);
    if (outLength != nullptr) *outLength = capacity;
    return SendCommand(category, command, in, inLength, out, outLength);
}

bool AudioDevice::ReadStringById(USHORT id, char* destination, ULONG size) {
    if (destination == nullptr || size == 0) {
        TRACE(kLogError | kLogInterface, id);
        return false;
    }
    destination[0] = 0;
    ULONG64 length = size;
    ULONG result = Command(kCategoryStrings, 0, &id, sizeof(id), destination, &length);
    if (result == kUsbResultOk) return true;
    destination[0] = 0;
    TRACE((result == kUsbResultBufferTooSmall ? kLogWarning : kLogError) | kLogInterface, result, id);
    return false;
}

bool AudioDevice::ReadDeviceInfo() {
    RtlZeroMemory(&deviceInfo_, sizeof(deviceInfo_));
    ULONG64 length = sizeof(deviceInfo_);
    ULONG result = Command(kCategoryGlobal, kGlobalDeviceInfo, nullptr, 0, &deviceInfo_, &length);
    if (result != kUsbResultOk) TRACE(kLogError | kLogInterface, result);
    return result == kUsbResultOk;
}

// The rate read (6/2) is the one that counts: a device without the status
// read (6/4) keeps its old status flags and still reads as configured.
bool AudioDevice::ReadClock() {
    ULONG status = 0;
    ULONG64 length = sizeof(status);
    ULONG result = Command(kDcpCategoryClock, kClockStatus, nullptr, 0, &status, &length);
    if (result == kUsbResultOk) {
        clockStatus0_ = status & 1;
        clockStatus1_ = (status >> 1) & 1;
    } else {
        TRACE(kLogWarning | kLogInterface, result);
    }
    ClockGetReply reply{};
    length = sizeof(reply);
    cachedRate_ = 0;
    cachedClock_ = 0;
    cachedReserved_ = 0;
    result = Command(kDcpCategoryClock, kDcpClockGet, nullptr, 0, &reply, &length);
    if (result != kUsbResultOk) {
        TRACE(kLogError | kLogInterface, result);
        return false;
    }
    cachedRate_ = reply.sampleRate;
    cachedClock_ = reply.clockSource;
    cachedReserved_ = reply.reserved;
    return true;
}

// Reads a clock table (zeroed first) and counts its entries, at most what
// the table holds whatever the reply claims.
bool AudioDevice::ReadClockTable(USHORT command, void* table, ULONG bytes, ULONG entryBytes, ULONG* count) {
    *count = 0;
    RtlZeroMemory(table, bytes);
    ULONG64 length = bytes;
    ULONG result = Command(kDcpCategoryClock, command, nullptr, 0, table, &length);
    if (result != kUsbResultOk) {
        TRACE(kLogError | kLogInterface, result, command);
        return false;
    }
    *count = static_cast<ULONG>(std::min<ULONG64>(length, bytes) / entryBytes);
    return true;
}

bool AudioDevice::ReadClockSources() {
    RtlZeroMemory(clockSourceNames_, sizeof(clockSourceNames_));
    if (!ReadClockTable(kDcpClockListSources, clockSources_, sizeof(clockSources_), sizeof(ClockSourceEntry),
                        &clockSourceCount_)) {
        return false;
    }
    for (ULONG i = 0; i < clockSourceCount_; ++i) {
        (void)ReadStringById(clockSources_[i].nameStringId, clockSourceNames_[i], kNameBytes);
    }
    return true;
}

bool AudioDevice::ReadSampleRates() {
    return ReadClockTable(kDcpClockListRates, rates_, sizeof(rates_), sizeof(ULONG), &rateCount_);
}

bool AudioDevice::ReadChannels() {
    bool ok = false;
    RtlZeroMemory(streamInfo_, sizeof(streamInfo_));
    ULONG64 length = sizeof(streamInfo_);
    ULONG result = Command(kCategoryChannels, kChannelsStreamInfo, nullptr, 0, streamInfo_, &length);
    if (result == kUsbResultOk) {
        ok = true;
    } else {
        TRACE(kLogWarning | kLogInterface, result);
    }
    RtlZeroMemory(rateModeInfo_, sizeof(rateModeInfo_));
    for (UCHAR band = 0; band < kRateBands; ++band) {
        length = sizeof(RateModeInfo);
        result = Command(kCategoryChannels, kChannelsRateMode, &band, sizeof(band), &rateModeInfo_[band], &length);
        if (result == kUsbResultNotConnected) return false;
        if (result == kUsbResultOk) {
            ok = true;
        } else {
            TRACE(kLogWarning | kLogInterface, result, band);
        }
    }
    for (bool output : {true, false}) {
        auto& records = output ? outputChannelRecords_ : inputChannelRecords_;
        RtlZeroMemory(records, sizeof(records));
        for (UCHAR band = 0; band < kRateBands; ++band) {
            ULONG count = output ? rateModeInfo_[band].outputChannelCount : rateModeInfo_[band].inputChannelCount;
            for (ULONG channel = 0; channel < count; ++channel) {
                if (channel >= kMaxBandChannels) {
                    TRACE(kLogError | kLogInterface, count, band);  // at most 64 channels a band
                    break;
                }
                UCHAR request[6] = {band, 0, static_cast<UCHAR>(channel & 0xFF), static_cast<UCHAR>(channel >> 8), 1, 0};
                ChannelRecord& record = records[band][channel];
                length = sizeof(record.reply);
                result = Command(kCategoryChannels, output ? kChannelsOutput : kChannelsInput, request, sizeof(request),
                                 record.reply, &length);
                if (result == kUsbResultNotConnected) return false;
                if (result != kUsbResultOk) {
                    RtlZeroMemory(&record, sizeof(record));
                    continue;
                }
                ok = true;
                USHORT nameId;
                RtlCopyMemory(&nameId, record.reply + 2, sizeof(nameId));
                (void)ReadStringById(nameId, record.name, kNameBytes);
            }
        }
    }
    return ok;
}

bool AudioDevice::ReadMidiPorts() {
    midiInPortCount_ = midiOutPortCount_ = 0;
    RtlZeroMemory(midiInPorts_, sizeof(midiInPorts_));
    RtlZeroMemory(midiOutPorts_, sizeof(midiOutPorts_));
    RtlZeroMemory(midiInPortNames_, sizeof(midiInPortNames_));
    RtlZeroMemory(midiOutPortNames_, sizeof(midiOutPortNames_));
    USHORT counts[2] = {};
    ULONG64 length = sizeof(counts);
    ULONG result = Command(kCategoryMidi, kMidiCounts, nullptr, 0, counts, &length);
    if (result != kUsbResultOk) {
        TRACE(kLogError | kLogMidi, result);
        return false;
    }
    // The tables hold sixteen ports a direction.
    midiInPortCount_ = std::min<USHORT>(counts[0], kMaxMidiPortsPerDirection);
    midiOutPortCount_ = std::min<USHORT>(counts[1], kMaxMidiPortsPerDirection);
    bool ok = true;
    for (bool input : {true, false}) {
        MidiPortEntry* entries = input ? midiInPorts_ : midiOutPorts_;
        auto& names = input ? midiInPortNames_ : midiOutPortNames_;
        USHORT count = input ? midiInPortCount_ : midiOutPortCount_;
        length = sizeof(midiInPorts_);
        result = Command(kCategoryMidi, input ? kMidiInPorts : kMidiOutPorts, nullptr, 0, entries, &length);
        if (result != kUsbResultOk) {
            TRACE(kLogError | kLogMidi, result, input);
            if (!input) return false;
            ok = false;
            continue;
        }
        for (USHORT i = 0; i < count; ++i) {
            USHORT nameId;
            RtlCopyMemory(&nameId, entries[i].bytes + 2, sizeof(nameId));
            if (!ReadStringById(nameId, names[i], kNameBytes)) ok = false;
        }
    }
    return ok;
}

bool AudioDevice::ReadConfiguration() {
    return ReadDeviceInfo() && ReadClock() && ReadClockSources() && ReadSampleRates() && ReadChannels() &&
           ReadMidiPorts();
}

void AudioDevice::Refresh(ULONG bits) {
    if (bits & kRefreshClockGroup) {
        if (!ReadClock() || !ReadClockSources() || !ReadSampleRates()) return;
    }
    if ((bits & kRefreshClock) && !ReadClock()) return;
    if ((bits & kRefreshChannels) && !ReadChannels()) return;
    if (bits & kRefreshMidi) (void)ReadMidiPorts();
}

bool AudioDevice::SetClock(ULONG rate, USHORT id) {
    if (rate == cachedRate_ && id == cachedClock_) return true;
    ClockSetRequest request{};
    request.sampleRate = rate;
    request.clockSource = id;
    ULONG result = Command(kDcpCategoryClock, kDcpClockSet, &request, sizeof(request), nullptr, nullptr);
    if (result != kUsbResultOk) {
        TRACE(kLogError | kLogInterface, result, rate, id);
        return false;
    }
    cachedRate_ = rate;
    cachedClock_ = id;
    return true;
}

bool AudioDevice::GetSampleRateAt(ULONG index, ULONG* rate) {
    if (index >= rateCount_ || rate == nullptr) return false;
    *rate = rates_[index];
    return true;
}

UCHAR AudioDevice::TakeClockStatusBit1() {
    UCHAR bit = clockStatus1_;
    clockStatus1_ = 0;
    return bit;
}

bool AudioDevice::GetClockSourceAt(ULONG index, USHORT* id, char* name, ULONG size) {
    if (index >= clockSourceCount_) return false;
    if (id != nullptr) *id = clockSources_[index].id;
    if (name != nullptr && size != 0) CopyName(clockSourceNames_[index], name, size);
    return true;
}

bool AudioDevice::GetClockSourceName(USHORT id, char* name, ULONG size) {
    if (name == nullptr || size == 0 || clockSourceCount_ == 0) return false;
    for (ULONG i = 0; i < clockSourceCount_; ++i) {
        if (clockSources_[i].id == id) return CopyName(clockSourceNames_[i], name, size);
    }
    return false;
}

ULONG AudioDevice::GetStreamInfoLeadingWord() {
    ULONG word;
    RtlCopyMemory(&word, streamInfo_, sizeof(word));
    return word;
}

bool AudioDevice::GetOutputChannelName(ULONG rate, ULONG channel, char* name, ULONG size) {
    if (channel >= kMaxBandChannels) return false;
    return CopyName(outputChannelRecords_[RateBand(rate)][channel].name, name, size);
}

bool AudioDevice::GetInputChannelName(ULONG rate, ULONG channel, char* name, ULONG size) {
    if (channel >= kMaxBandChannels) return false;
    return CopyName(inputChannelRecords_[RateBand(rate)][channel].name, name, size);
}

bool AudioDevice::GetMidiInPortName(ULONG index, char* name, ULONG size) {
    if (index >= kMaxMidiPortsPerDirection) return false;
    return CopyName(midiInPortNames_[index], name, size);
}

bool AudioDevice::GetMidiOutPortName(ULONG index, char* name, ULONG size) {
    if (index >= kMaxMidiPortsPerDirection) return false;
    return CopyName(midiOutPortNames_[index], name, size);
}

ULONG64 AudioDevice::GetDeviceId64() {
    ULONG64 identity = deviceInfo_.identityWord;
    ULONG64 product = deviceInfo_.productId;
    return (((identity << 18) | product | 0x1000) << 22) | deviceInfo_.serialNumber;
}

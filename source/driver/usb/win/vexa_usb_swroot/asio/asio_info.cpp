// What the ASIO interface reports of the current device (kIoctlAsioGetInfo):
// rate, buffer size, latencies, channel counts and names.
#define LOG_FILE_NUMBER 159

#include "asio/asio_handler.h"

#include "asio/asio_client.h"
#include "engine/audio_client_manager.h"
#include "engine/audio_engine.h"
#include "logger.h"

using namespace vexa::log;
using namespace vexa::asio;

namespace {

// The device's name of a channel, else "Output n" / "Input n" counted from 1,
// NUL-terminated in its slot. The device keeps its names in the ANSI code page
// already, which is what the host reads.
void ChannelName(UsbAudioDeviceTarget* device, ULONG rate, ULONG channel, bool input, char* slot) {
    char name[kAsioNameBytes] = {};
    bool named = input ? device->GetInputChannelName(rate, channel, name, sizeof(name))
                       : device->GetOutputChannelName(rate, channel, name, sizeof(name));
    name[kAsioNameBytes - 1] = 0;
    if (!named || name[0] == 0) {
        const char* prefix = input ? "Input " : "Output ";
        size_t length = 0;
        while (prefix[length] != 0) {
            name[length] = prefix[length];
            ++length;
        }
        char digits[10];
        size_t count = 0;
        for (ULONG number = channel + 1; number != 0 || count == 0; number /= 10) {
            digits[count++] = static_cast<char>('0' + number % 10);
        }
        while (count != 0) name[length++] = digits[--count];
        name[length] = 0;
    }
    RtlCopyMemory(slot, name, kAsioNameBytes);
}

}  // namespace

// PASSIVE_LEVEL. With no current device nothing but the result is written:
// no device is asked for its latencies.
void WriteAsioDeviceInfo(AudioEngine* engine, AudioClientManager* manager, UCHAR* buffer) {
    auto* info = reinterpret_cast<AsioDeviceInfo*>(buffer);
    LONG result = engine->WithCurrentDevice([&](UsbAudioDeviceTarget* device) -> LONG {
        if (device == nullptr) return ASE_NotPresent;
        ULONG rate = device->GetSampleRate();
        ULONG frames = manager->BufferSizeForRate(rate);
        // A device that cannot tell counts no extra frames.
        ULONG framesPerMs = 0;
        ULONG safetyFrames = 0;
        if (NTSTATUS status = device->GetLatency(&framesPerMs, &safetyFrames); !NT_SUCCESS(status)) {
            TRACE(kLogWarning | kLogAsio, status);
            framesPerMs = safetyFrames = 0;
        }
        info->sampleRate = rate;
        info->bufferSize = frames;
        // Summed as the shared block's are, so both tell the host the same.
        bool saturated = false;
        info->outputLatency = LatencySum(frames, device->GetDeviceOutputLatency(rate), safetyFrames, &saturated);
        info->inputLatency = LatencySum(frames, device->GetDeviceInputLatency(rate), framesPerMs, &saturated);
        if (saturated) TRACE(kLogWarning | kLogAsio, rate);
        ULONG outputs = device->GetOutputChannelCount(rate);
        ULONG inputs = device->GetInputChannelCount(rate);
        if (outputs == 0 && inputs == 0) return ASE_NotPresent;
        // The record names 320 channels a direction; a host sees no more than it can name.
        if (outputs > kAsioMaxChannels) outputs = kAsioMaxChannels;
        if (inputs > kAsioMaxChannels) inputs = kAsioMaxChannels;
        info->outputChannels = outputs;
        info->inputChannels = inputs;
        RtlZeroMemory(info->outputNames, sizeof(info->outputNames));
        RtlZeroMemory(info->inputNames, sizeof(info->inputNames));
        for (ULONG c = 0; c < outputs; ++c) ChannelName(device, rate, c, false, info->outputNames[c]);
        for (ULONG c = 0; c < inputs; ++c) ChannelName(device, rate, c, true, info->inputNames[c]);
        return ASE_OK;
    });
    info->result = result;
}

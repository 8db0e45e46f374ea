// The ASIO interface's requests, as the root device's dispatch hands them in.
#pragma once

#include "engine/audio_client.h"
#include "platform/kmdf/wdf.h"

class AudioClientManager;
class AudioEngine;
class PalNotifier;

// What an ASIO request works with: the root device's engine, client manager
// and PAL notifier, and the handle's audio client slot and clean-up flag
// (both null for a request without a file). The slot is read with acquire
// order, the flag too: the handle's cleanup may run beside the request.
struct AsioRequestParts {
    AudioEngine* engine;
    AudioClientManager* manager;
    PalNotifier* palNotifier;
    AudioClient* volatile* client;
    volatile LONG* clientShut;
};

// asio_handler.cpp: every code the PAL interface does not take. Completes the request.
void HandleAsioRequest(const AsioRequestParts& parts, WDFREQUEST request, ULONG ioControlCode);
// asio_info.cpp: fills a kIoctlAsioGetInfo record (AsioDeviceInfo). PASSIVE_LEVEL.
void WriteAsioDeviceInfo(AudioEngine* engine, AudioClientManager* manager, UCHAR* buffer);

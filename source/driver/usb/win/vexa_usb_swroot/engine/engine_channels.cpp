// The engine's side of the WDM channel maps: devices found by their 64-bit
// id, channels by their label.
#define LOG_FILE_NUMBER 171

#include "engine/audio_engine.h"
#include "logger.h"

using namespace vexa::log;

NTSTATUS AudioEngine::EngineFindDeviceIndex(ULONG64 id, ULONG* index) {
    WaitLockScope list(deviceListLock_);
    for (ULONG64 i = 0; i < deviceCount_; ++i) {
        if (devices_[i]->GetDeviceId64() == id) {
            *index = static_cast<ULONG>(i);
            return STATUS_SUCCESS;
        }
    }
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS AudioEngine::EngineFindChannelByName(ULONG deviceIndex, PCUNICODE_STRING name, LONG* channel, bool input) {
    WaitLockScope list(deviceListLock_);
    // A position past the list is answered as a device without channels.
    if (deviceIndex >= deviceCount_ || devices_[deviceIndex] == nullptr) return STATUS_UNSUCCESSFUL;
    return devices_[deviceIndex]->FindChannelByName(name, channel, input);
}

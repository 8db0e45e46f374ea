// The test image's view of the WDM adapter and its kernel clients.
#include "wdm_hooks.h"

#include "children/wdm_adapter.h"
#include "control/root.h"

#define TEST_EXPORT extern "C" __attribute__((visibility("default")))

TEST_EXPORT void VexaTestKernelClient(void* stream, KernelClientProbe* probe) {
    auto* client = static_cast<KernelAudioClient*>(stream);
    probe->type = client->Type();
    probe->channels = client->ChannelCount();
    probe->ringLength = client->RingLength();
    probe->readIndex = client->ReadIndex();
    probe->writeIndex = client->WriteIndex();
    probe->overruns = client->Overruns();
    probe->underruns = client->Underruns();
    probe->running = client->IsRunning();
}

TEST_EXPORT int32_t VexaTestRingSample(void* stream, uint32_t channel, uint32_t index) {
    return ReadNoFence(&static_cast<KernelAudioClient*>(stream)->Channel(channel).samples[index]);
}

TEST_EXPORT void VexaTestPokeRing(void* stream, uint32_t channel, uint32_t index, int32_t value) {
    WriteNoFence(&static_cast<KernelAudioClient*>(stream)->Channel(channel).samples[index], value);
}

TEST_EXPORT void VexaTestAdapterMaps(void* adapter, uint32_t* output, uint32_t* input) {
    auto* a = static_cast<WdmAdapter*>(adapter);
    for (ULONG i = 0; i < vexa::child::kWdmMaxChannels; ++i) {
        output[i] = a->OutputChannelMap()[i];
        input[i] = a->InputChannelMap()[i];
    }
}

TEST_EXPORT void VexaTestArbiter(WDFDEVICE fdo, ArbiterProbe* probe) {
    AudioClientManager* manager = GetDeviceExtension(fdo)->clientManager;
    probe->asio = manager->AsioClientCount();
    probe->render = manager->RenderClientCount();
    probe->capture = manager->CaptureClientCount();
    probe->clients = manager->ClientCount();
}

// The benchmark's way to keep a ring from filling: back to half full of silence.
TEST_EXPORT void VexaTestRewindStream(void* stream) { static_cast<KernelAudioClient*>(stream)->Rewind(); }

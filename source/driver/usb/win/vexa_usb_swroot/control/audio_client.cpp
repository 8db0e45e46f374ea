// The audio client factory.
#define LOG_FILE_NUMBER 151

#include "asio/asio_client.h"
#include "children/kernel_audio_client.h"
#include "control/root.h"
#include "logger.h"

using namespace vexa::log;

// PASSIVE_LEVEL
AudioClient* CreateAudioClient(ULONG type) {
    PAGED_CODE();
    switch (type) {
        case kClientTypeAsio64:
        case kClientTypeAsio32: {
            auto* client = new AsioClient(type);
            if (client == nullptr) return nullptr;
            if (!NT_SUCCESS(client->Initialize())) {
                delete client;
                return nullptr;
            }
            return client;
        }
        case kClientTypeKernel:
        case kClientTypeKernelRender:
        case kClientTypeKernelCapture:
            return CreateKernelAudioClient(type);
        default:
            TRACE(kLogWarning | kLogAsio, type);
            return nullptr;
    }
}

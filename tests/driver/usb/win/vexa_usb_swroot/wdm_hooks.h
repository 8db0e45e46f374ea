// Test equipment: what the root driver's test image shows of the WDM
// adapter and its kernel clients (wdm_hooks.cpp).
#pragma once

#include <cstdint>

#include "platform/kmdf/wdf.h"

struct KernelClientProbe {
    uint32_t type;
    uint32_t channels;
    uint32_t ringLength;
    uint32_t readIndex;
    uint32_t writeIndex;
    uint32_t overruns;
    uint32_t underruns;
    bool running;
};

struct ArbiterProbe {
    int32_t asio;
    int32_t render;
    int32_t capture;
    uint32_t clients;
};

// Exported by the test image.
using KernelClientFn = void (*)(void* stream, KernelClientProbe* probe);
using RingSampleFn = int32_t (*)(void* stream, uint32_t channel, uint32_t index);
using PokeRingFn = void (*)(void* stream, uint32_t channel, uint32_t index, int32_t value);
using AdapterMapsFn = void (*)(void* adapter, uint32_t* output, uint32_t* input);  // 48 entries each
using ArbiterFn = void (*)(WDFDEVICE fdo, ArbiterProbe* probe);
using RewindStreamFn = void (*)(void* stream);

// Test equipment: a stand-in audio device that the root driver's test image
// can plug into the engine, scripted and recorded by the test. The image is
// the root driver's own objects plus these hooks (fake_device_image.cpp).
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/kmdf/wdf.h"
#include "test_client.h"

struct FakeDeviceScript {
    std::mutex lock;
    // What the device answers.
    uint32_t kind = 0x400;
    uint32_t clock = 24;
    uint32_t rate = 48000;
    uint32_t outputs = 8;
    uint32_t inputs = 6;
    uint16_t midiInPorts = 0;
    uint16_t midiOutPorts = 0;
    uint32_t result = 0;           // DCP result of Command
    std::vector<uint8_t> reply;    // reply data of Command (cut at the capacity)
    bool setClockOk = true;
    // What it was asked.
    unsigned commands = 0;
    uint16_t category = 0;
    uint16_t command = 0;
    std::vector<uint8_t> data;
    uint64_t capacity = 0;
    unsigned setClocks = 0;
    uint32_t lastRate = 0;
    uint32_t lastClock = 0;
};

// Exported by the test image.
using PlugDeviceFn = void* (*)(WDFDEVICE fdo, FakeDeviceScript* script);  // returns the device
using UnplugDeviceFn = void (*)(WDFDEVICE fdo, void* device);
using NotifyFn = NTSTATUS (*)(WDFDEVICE fdo, ULONG kind, ULONG64 param64, ULONG param32);
using StreamingFn = NTSTATUS (*)(WDFDEVICE fdo);
using AddChildFn = NTSTATUS (*)(WDFDEVICE fdo, const char16_t* hardwareId, ULONG64 hardwareIdLength, ULONG serial,
                                void* context);
using CompareChildrenFn = bool (*)(const char16_t* firstId, ULONG64 firstLength, ULONG firstSerial, void* firstContext,
                                   const char16_t* secondId, ULONG64 secondLength, ULONG secondSerial,
                                   void* secondContext);
// Calls the proxy's MIDI callback as the USB function driver does, at DISPATCH_LEVEL.
using MidiDataFn = NTSTATUS (*)(void* device, UCHAR direction, UCHAR cable, ULONG* word);

// Test equipment: a driver that offers the PAL interface with every answer
// scripted by the test, for what the real root driver never says: other
// interface versions, settings that change one field at a time, rate lists
// of any shape, and DCP commands that wait until released or cancelled.
// Its state lives in the image and is reached through its exports.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "source/driver/usb/win/vexa_usb_swroot/public/pal_interface.h"

// {5C1F0E2B-9A8D-4C7E-B3A2-6D5E4F3A2B1C}: not the root's class, so both may be installed.
inline constexpr GUID kPalStubInterface = {0x5C1F0E2B, 0x9A8D, 0x4C7E, {0xB3, 0xA2, 0x6D, 0x5E, 0x4F, 0x3A, 0x2B, 0x1C}};

struct PalStubState {
    std::mutex lock;
    std::condition_variable changed;  // told when a DCP command is held or a wait parks
    // The version request's answer and the byte count it reports.
    vexa::pal::ApiVersionReply version{vexa::pal::kIoctlAPIVersion, vexa::pal::kIoctlMinCompatibleAPIVersion,
                                       vexa::pal::kDriverVersion};
    uint32_t versionBytes = sizeof(vexa::pal::ApiVersionReply);
    // What the bus commands answer.
    vexa::pal::BusSettingsBlock settings{};
    std::vector<uint32_t> rates;     // DCP 6/1's reply
    bool ratesFail = false;          // DCP 6/1 fails (DCP result 1, STATUS_UNSUCCESSFUL)
    vexa::pal::ClientCounts counts{};
    bool unregisterFails = false;    // kDcpBusUnregisterClient is refused and the client stays
    std::vector<uint8_t> reply;      // what device commands (any other category) answer
    uint32_t replyStatus = 0;        // the status word of every DCP reply (the request itself succeeds)
    // DCP commands of this category wait in a queue until released or cancelled (0: none wait).
    uint16_t holdCategory = 0;
    // What it was sent.
    std::vector<std::vector<uint8_t>> commands;  // each kIoctlDcpCommand's input, in order
    unsigned held = 0;     // DCP commands held so far
    unsigned parked = 0;   // notification waits that had to wait so far
    unsigned registered = 0;
    std::deque<vexa::pal::PalNotification> backlog;  // records no wait was there for
};

using PalStubGetStateFn = PalStubState* (*)();
// Back to the defaults above, nothing sent, nothing kept.
using PalStubResetFn = void (*)();
// Delivers a record to the oldest pending wait, else keeps it for the next.
using PalStubNotifyFn = void (*)(const vexa::pal::PalNotification* record);
// Completes every held DCP command with `status` (and, on success, a reply
// with DCP status 0 and no data); how many there were.
using PalStubReleaseFn = unsigned (*)(NTSTATUS status);

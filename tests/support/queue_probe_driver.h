// A small KMDF driver image for testing the framework's queues and requests
// through the Win32 layer: a sequential (or parallel) default queue and a manual queue,
// driven by control codes, with hooks for the test. Test equipment.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/kmdf/wdf.h"

inline constexpr uint32_t kQueueProbeComplete = 0x222000;  // completes at once; output: presentation number
inline constexpr uint32_t kQueueProbeHold = 0x222004;      // kept by the driver until the test completes it
inline constexpr uint32_t kQueueProbePark = 0x222008;      // forwarded to the manual queue
inline constexpr uint32_t kQueueProbeReturnRaised = 0x22200C;  // completes, then returns at DISPATCH_LEVEL (a bug)

struct QueueProbeState {
    std::mutex lock;
    std::vector<uint32_t> presented;  // the first input word of every request presented, in order
    int inCallback = 0;
    int maxInCallback = 0;            // more than 1 breaks sequential dispatch
    WDFREQUEST held = nullptr;
    WDFQUEUE manual = nullptr;
    // The default queue's dispatch, read when the device is added.
    WDF_IO_QUEUE_DISPATCH_TYPE defaultDispatch = WdfIoQueueDispatchSequential;
};

using QueueProbeGetStateFn = QueueProbeState* (*)();
// Completes the held request; false when there is none.
using QueueProbeCompleteHeldFn = bool (*)(NTSTATUS status);
// Takes the oldest parked request and completes it with success; the retrieval status.
using QueueProbeRetrieveFn = NTSTATUS (*)();

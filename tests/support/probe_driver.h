// A small KMDF driver image used to test the machine's PnP manager and the
// framework layer: it records every callback it receives and can be told to
// fail any of them. Test equipment, not part of the system.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct ProbeState {
    std::mutex lock;
    std::vector<std::string> events;  // "entry", "add", "prepare", "d0entry:3", "file-cleanup", "file-gone", ...
    int32_t failEntry = 0;            // nonzero: the status DriverEntry returns after creating its driver
    int32_t failAdd = 0;              // nonzero: the status device add returns
    int32_t failPrepare = 0;
    int32_t failD0Entry = 0;
    bool createWorkItemInD0Entry = false;
    unsigned workItemRuns = 0;
    unsigned workItemIrql = 0xFF;

    void record(std::string event) {
        std::lock_guard guard(lock);
        events.push_back(std::move(event));
    }
    std::vector<std::string> take() {
        std::lock_guard guard(lock);
        auto copy = std::move(events);
        events.clear();
        return copy;
    }
};

// {3A4F2C61-7B1D-4E2A-9F00-1C2D3E4F5A6B}
inline constexpr uint32_t kProbeInterfaceData1 = 0x3A4F2C61;
// The type of the probe's query interface (the same GUID with Data1 + 1);
// each query it answers is recorded as "query".
inline constexpr uint32_t kProbeQueryInterfaceData1 = kProbeInterfaceData1 + 1;

using ProbeGetStateFn = ProbeState* (*)();

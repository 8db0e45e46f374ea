// The driver loader's ordering of a service's unload (which runs on a system
// worker once its last device goes) and the next load of the same service.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/kernel/ntstatus.h"
#include "platform/machine/driver_loader.h"
#include "platform/machine/machine.h"

namespace {

constexpr const char* kService = "GatedDriver";

// What the driver saw; its unload routine is held until the test lets it go.
struct Gate {
    std::mutex lock;
    std::condition_variable changed;
    bool unloading = false;
    bool release = false;
    int entries = 0;
    bool entryDuringUnload = false;
};
Gate* g_gate = nullptr;

void GatedUnload(PDRIVER_OBJECT) {
    std::unique_lock hold(g_gate->lock);
    g_gate->unloading = true;
    g_gate->changed.notify_all();
    g_gate->changed.wait(hold, [] { return g_gate->release; });
    g_gate->unloading = false;
}

NTSTATUS GatedEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    std::lock_guard hold(g_gate->lock);
    ++g_gate->entries;
    if (g_gate->unloading) g_gate->entryDuringUnload = true;
    driver->DriverUnload = GatedUnload;
    g_gate->changed.notify_all();
    return STATUS_SUCCESS;
}

class DriverLoaderTest : public ::testing::Test {
protected:
    DriverLoaderTest() {
        g_gate = &gate_;
        machine_.drivers().install_builtin(kService, GatedEntry);
    }
    ~DriverLoaderTest() override { g_gate = nullptr; }

    Gate gate_;
    platform::Machine machine_;
};

// A load of a service whose previous instance is still in its unload routine waits for that
// routine to return (a new DriverEntry ran beside the old unload on the same image's globals).
TEST_F(DriverLoaderTest, LoadWaitsForTheSameServicesUnload) {
    platform::DriverLoader& drivers = machine_.drivers();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ASSERT_NE(drivers.load(kService, &status), nullptr);
    std::thread unloader([&] { drivers.unload(kService); });
    {
        std::unique_lock hold(gate_.lock);
        gate_.changed.wait(hold, [&] { return gate_.unloading; });
    }
    platform::LoadedDriver* reloaded = nullptr;
    std::thread loader([&] { reloaded = drivers.load(kService, &status); });
    {
        // Without the wait the second DriverEntry comes at once, inside this window; with it, never.
        std::unique_lock hold(gate_.lock);
        EXPECT_FALSE(gate_.changed.wait_for(hold, std::chrono::milliseconds(20), [&] { return gate_.entries == 2; }));
        gate_.release = true;
        gate_.changed.notify_all();
    }
    unloader.join();
    loader.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_NE(reloaded, nullptr);
    EXPECT_EQ(gate_.entries, 2);
    EXPECT_FALSE(gate_.entryDuringUnload);
    EXPECT_EQ(drivers.find(kService), reloaded);
    drivers.unload(kService);
}

}  // namespace

// A bus's cached state over the scripted PAL stub: each field raising exactly
// its hook and in the fixed order, the first update's set, a throwing hook,
// the rate list (deduplicated, sorted, unsigned, bounded, or empty when it
// cannot be read), device counts clamped to five, and getters that never
// read a record half written.
#include <gtest/gtest.h>

#include <thread>

#include "support/library_fixture.h"

namespace {

using namespace vexa::test;
using namespace mrak::vexa;
using ::vexa::pal::BusSettingsBlock;

BusSettingsBlock Settings() {
    BusSettingsBlock b{};
    b.currentDeviceId = 1;
    b.clockSource = 0x28;
    b.sampleRate = 48000;
    b.operationMode = 2;
    b.bufferSize = 512;
    b.minBufferSize = 48;
    b.maxBufferSize = 2048;
    b.outputChannels = 10;
    b.inputChannels = 10;
    b.deviceIds[0] = 1;
    b.deviceCount = 1;
    return b;
}

class BusStateTest : public StubLibraryTest {
protected:
    // Refreshes and compares as the notification thread does; the hooks raised (the bus's own steps left out).
    std::vector<std::string> refresh_and_update(RecordingBus& bus, bool* answered = nullptr) {
        log_.take();
        bus.refresh();
        bool raised = bus.update();
        if (answered != nullptr) *answered = raised;
        std::vector<std::string> hooks;
        for (std::string& entry : log_.take()) {
            if (entry != "refresh" && entry != "update") hooks.push_back(std::move(entry));
        }
        return hooks;
    }
};

using Hooks = std::vector<std::string>;

// Before the first refresh the getters answer the all-ones start; the first update raises every
// setting's hook, and the client hooks when clients are open, in the fixed order.
TEST_P(BusStateTest, FirstUpdateRaisesTheStartingSet) {
    BusRef bus = open_bus();
    EXPECT_EQ(bus->sample_rate(), 0xFFFFFFFFu);
    EXPECT_EQ(bus->buffer_size_max(), 0xFFFFFFFFu);
    EXPECT_FALSE(bus->single_asio_client());
    EXPECT_EQ(bus->record().clientCount, 0u);
    script([](PalStubState& s) {
        s.settings = Settings();
        s.counts = {1, 0};
    });
    bool answered = false;
    EXPECT_EQ(refresh_and_update(*bus, &answered),
              (Hooks{"clock_source_changed", "sample_rate_changed", "current_device_changed", "operation_mode_changed",
                     "client_count_changed", "single_asio_client_changed", "buffer_size_changed",
                     "buffer_size_min_changed", "buffer_size_max_changed"}));
    EXPECT_TRUE(answered);
    EXPECT_EQ(refresh_and_update(*bus, &answered), Hooks{}) << "nothing changed";
    EXPECT_FALSE(answered);
}

// Each field raises exactly its own hook; the fields without one raise nothing.
TEST_P(BusStateTest, EachFieldRaisesExactlyItsHook) {
    BusRef bus = open_bus();
    script([](PalStubState& s) {
        s.settings = Settings();
        s.rates = {44100, 48000};
        s.counts = {0, 2};
    });
    refresh_and_update(*bus);
    struct Row {
        std::function<void(PalStubState&)> change;
        Hooks hooks;
    };
    std::vector<Row> table = {
        {[](PalStubState& s) { s.settings.clockSource = 0x29; }, {"clock_source_changed"}},
        {[](PalStubState& s) { s.settings.sampleRate = 96000; }, {"sample_rate_changed"}},
        {[](PalStubState& s) { s.rates = {44100, 48000, 96000}; }, {"sample_rate_changed"}},
        {[](PalStubState& s) { s.rates = {44100, 48000, 88200}; }, {"sample_rate_changed"}},
        {[](PalStubState& s) { s.settings.currentDeviceId = 2; }, {"current_device_changed"}},
        {[](PalStubState& s) { s.settings.operationMode = 4; }, {"operation_mode_changed"}},
        {[](PalStubState& s) { s.counts = {0, 3}; }, {"client_count_changed"}},
        {[](PalStubState& s) { s.counts = {1, 2}; }, {"single_asio_client_changed"}},
        {[](PalStubState& s) { s.settings.bufferSize = 256; }, {"buffer_size_changed"}},
        {[](PalStubState& s) { s.settings.minBufferSize = 96; }, {"buffer_size_min_changed"}},
        {[](PalStubState& s) { s.settings.maxBufferSize = 4096; }, {"buffer_size_max_changed"}},
        {[](PalStubState& s) { s.settings.outputChannels = 4; }, {}},
        {[](PalStubState& s) { s.settings.inputChannels = 4; }, {}},
        {[](PalStubState& s) {
             s.settings.deviceIds[1] = 7;
             s.settings.deviceCount = 2;
         },
         {}},
        {[](PalStubState& s) {
             s.settings.clockSource = 0x28;
             s.settings.sampleRate = 44100;
         },
         {"clock_source_changed", "sample_rate_changed"}},
    };
    for (size_t i = 0; i < table.size(); ++i) {
        script(table[i].change);
        bool answered = false;
        EXPECT_EQ(refresh_and_update(*bus, &answered), table[i].hooks) << "row " << i;
        EXPECT_EQ(answered, !table[i].hooks.empty()) << "row " << i;
    }
}

// A hook that throws stops the update before the copy: the next update raises every change again.
TEST_P(BusStateTest, ThrowingHookRaisesAgainNextTime) {
    BusRef bus = open_bus();
    script([](PalStubState& s) { s.settings = Settings(); });
    refresh_and_update(*bus);
    script([](PalStubState& s) {
        s.settings.clockSource = 0x29;
        s.settings.sampleRate = 96000;
        s.settings.bufferSize = 1024;
    });
    bus->throw_on_rate(true);
    bus->refresh();
    EXPECT_THROW(bus->update(), xptn_internal);
    EXPECT_EQ(log_.take(), (Hooks{"refresh", "update", "clock_source_changed", "sample_rate_changed"}));
    bus->throw_on_rate(false);
    EXPECT_EQ(refresh_and_update(*bus), (Hooks{"clock_source_changed", "sample_rate_changed", "buffer_size_changed"}));
}

// Rates listed twice are kept once and sorted; rates print unsigned; at most 16 are read.
TEST_P(BusStateTest, RatesAreDeduplicatedSortedAndUnsigned) {
    BusRef bus = open_bus();
    script([](PalStubState& s) {
        s.settings = Settings();
        s.rates = {48000, 44100, 48000, 3000000000u};
    });
    bus->refresh();
    EXPECT_EQ(bus->record().rateCount, 4u);
    EXPECT_EQ(bus->sample_rates(),
              (bus_impl::list{{44100, "44100"}, {48000, "48000"}, {3000000000u, "3000000000"}}));
    script([](PalStubState& s) {
        s.rates.clear();
        for (uint32_t i = 0; i < 20; ++i) s.rates.push_back(8000 * (20 - i));
    });
    bus->refresh();
    EXPECT_EQ(bus->record().rateCount, kMaxRates);
    auto rates = bus->sample_rates();
    EXPECT_EQ(rates.size(), kMaxRates);
    EXPECT_EQ(rates.begin()->first, 8000u * 5) << "the first sixteen as listed, sorted";
    EXPECT_TRUE(bus->clock_sources().empty());
}

// A rate list that cannot be read leaves the list empty, fails nothing, and reads as a rate change
// when the list had entries before.
TEST_P(BusStateTest, FailedRateListIsEmpty) {
    BusRef bus = open_bus();
    script([](PalStubState& s) {
        s.settings = Settings();
        s.rates = {44100, 48000};
    });
    refresh_and_update(*bus);
    script([](PalStubState& s) { s.ratesFail = true; });
    EXPECT_EQ(refresh_and_update(*bus), Hooks{"sample_rate_changed"});
    EXPECT_EQ(bus->record().rateCount, 0u);
    EXPECT_TRUE(bus->sample_rates().empty());
    EXPECT_EQ(bus->sample_rate(), 48000u) << "the rest of the refresh went on";
}

// A record that claims more than five devices is read as five, wherever it is read.
TEST_P(BusStateTest, DeviceCountsAreClampedToFive) {
    BusRef bus = open_bus();
    script([](PalStubState& s) {
        s.settings = Settings();
        for (uint64_t i = 0; i < 5; ++i) s.settings.deviceIds[i] = 10 + i;
        s.settings.deviceCount = 9;
        s.reply = {0};  // every device command answers one zero byte
    });
    bus->refresh();
    EXPECT_TRUE(bus->has_device(14));
    EXPECT_FALSE(bus->has_device(15));
    EXPECT_FALSE(bus->has_device(0)) << "the reserved word after the ids is no id";
    EXPECT_TRUE(bus->update_devices());
    EXPECT_EQ(bus->ids(), (std::vector<uint64_t>{10, 11, 12, 13, 14}));
    script([](PalStubState& s) { s.settings.deviceCount = 0; });
    bus->refresh();
    EXPECT_FALSE(bus->has_device(~uint64_t{0}));
    EXPECT_FALSE(bus->has_device(10));
}

// The operation modes are the same five on every call, also on a bus never opened.
TEST_P(BusStateTest, OperationModes) {
    BusRef bus = make_bus();
    bus_impl::list expected{
        {0, "Lowest Latency"}, {1, "Lower Latency"}, {2, "Normal"}, {3, "Safe Mode 1"}, {4, "Safe Mode 2"}};
    EXPECT_EQ(bus->operation_modes(), expected);
    EXPECT_EQ(bus->operation_modes(), expected);
}

// Setters send their command and change nothing themselves: the value shows only after a refresh.
TEST_P(BusStateTest, SettersOnlySend) {
    BusRef bus = open_bus();
    script([](PalStubState& s) {
        s.settings = Settings();
        s.commands.clear();
    });
    bus->refresh();
    bus->set_sample_rate(96000);
    bus->set_clock_source(0x29);
    bus->set_operation_mode(3);
    bus->set_buffer_size(256);
    EXPECT_EQ(bus->sample_rate(), 48000u);
    EXPECT_EQ(bus->buffer_size(), 512u);
    script([](PalStubState& s) {
        std::vector<std::pair<uint16_t, uint32_t>> sent;
        for (const auto& c : s.commands) {
            uint16_t command;
            std::memcpy(&command, c.data() + 10, 2);
            if (c.size() == 20) {
                uint32_t value;
                std::memcpy(&value, c.data() + 16, 4);
                sent.emplace_back(command, value);
            }
        }
        EXPECT_EQ(sent, (std::vector<std::pair<uint16_t, uint32_t>>{{5, 96000}, {6, 0x29}, {7, 3}, {9, 256}}));
    });
}

// A reader on another thread never sees a record half written while refreshes run.
TEST_P(BusStateTest, GettersNeverSeeATornRecord) {
    BusRef bus = open_bus();
    std::atomic<bool> done{false};
    std::thread refresher([&] {
        for (uint32_t i = 1; i <= 200; ++i) {
            script([i](PalStubState& s) {
                s.settings = Settings();
                s.settings.sampleRate = i * 100;
                s.settings.bufferSize = i;
                s.settings.maxBufferSize = i * 10;
            });
            bus->refresh();
        }
        done = true;
    });
    unsigned checked = 0;
    while (!done.load()) {
        BusRecord record = bus->record();
        if (record.settings.bufferSize != 0xFFFFFFFF) {
            EXPECT_EQ(record.settings.sampleRate, record.settings.bufferSize * 100);
            EXPECT_EQ(record.settings.maxBufferSize, record.settings.bufferSize * 10);
            ++checked;
        }
        (void)bus->sample_rate();
        (void)bus->sample_rates();
    }
    refresher.join();
    EXPECT_EQ(bus->buffer_size(), 200u);
}

INSTANTIATE_TEST_SUITE_P(Roads, BusStateTest, ::testing::Values(LibraryRoad::Local, LibraryRoad::Socket),
                         LibraryRoadName);

}  // namespace

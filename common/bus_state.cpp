// bus_impl's cached state: refresh reads the root driver's settings, rate
// list and client counts into the current record; update compares it with
// the record of the last update and raises one hook per changed field in a
// fixed order; the getters read the record under the lock, so a reader never
// sees one half written; the setters only send their command (the new value
// comes back through kPalNotifyBusChanged).
#define LOG_FILE_NUMBER 1044

#include <cstdio>
#include <cstring>

#include "common/bus_impl.h"
#include "common/library_trace.h"
#include "common/xptn.h"

using namespace ::vexa::pal;

namespace mrak::vexa {
namespace {

constexpr size_t kRateTextBytes = 16;

bool SameRates(const BusRecord& a, const BusRecord& b) {
    return a.rateCount == b.rateCount && std::memcmp(a.rates, b.rates, sizeof(a.rates)) == 0;
}

}  // namespace

void bus_impl::refresh() {
    lock_scope hold;
    TRACE(kLibInfo, this);
    BusRecord& current = *m_current;

    uint64_t length = sizeof(current.settings);
    dcp_cmd(0, kDcpCategoryBus, kDcpBusGetSettings, nullptr, 0, &current.settings, &length);

    current.rateCount = 0;
    std::memset(current.rates, 0, sizeof(current.rates));
    try {
        length = sizeof(current.rates);
        dcp_cmd(0, kDcpCategoryClock, kDcpClockListRates, nullptr, 0, current.rates, &length);
        current.rateCount = static_cast<uint32_t>(std::min<uint64_t>(length / sizeof(uint32_t), kMaxRates));
    } catch (const mrak::exception::base& e) {
        // The bus stays usable without a rate list: it reads as empty.
        TRACE(kLibError, this, e.line());
        current.rateCount = 0;
        std::memset(current.rates, 0, sizeof(current.rates));
    }

    ClientCounts counts{};
    length = sizeof(counts);
    dcp_cmd(0, kDcpCategoryBus, kDcpBusGetClientCounts, nullptr, 0, &counts, &length);
    current.clientCount = counts.asioClients + counts.kernelClients;
    current.singleAsioClient = counts.asioClients == 1 ? 1 : 0;
}

// Callers hold the lock already (the notification thread, the system); taking
// it again costs nothing and keeps a caller that forgot from racing refresh.
bool bus_impl::update() {
    lock_scope hold;
    TRACE(kLibInfo, this);
    const BusRecord& now = *m_current;
    const BusRecord& before = *m_previous;
    bool raised = false;
    auto raise = [&](bool changed, void (bus_impl::*hook)()) {
        if (!changed) return;
        raised = true;
        (this->*hook)();
    };
    raise(now.settings.clockSource != before.settings.clockSource, &bus_impl::clock_source_changed);
    raise(now.settings.sampleRate != before.settings.sampleRate || !SameRates(now, before),
          &bus_impl::sample_rate_changed);
    raise(now.settings.currentDeviceId != before.settings.currentDeviceId, &bus_impl::current_device_changed);
    raise(now.settings.operationMode != before.settings.operationMode, &bus_impl::operation_mode_changed);
    raise(now.clientCount != before.clientCount, &bus_impl::client_count_changed);
    raise(now.singleAsioClient != before.singleAsioClient, &bus_impl::single_asio_client_changed);
    raise(now.reservedFlag1 != before.reservedFlag1, &bus_impl::reserved_flag1_changed);
    raise(now.reservedFlag2 != before.reservedFlag2, &bus_impl::reserved_flag2_changed);
    raise(now.reservedFlag3 != before.reservedFlag3, &bus_impl::reserved_flag3_changed);
    raise(now.reservedFlag4 != before.reservedFlag4, &bus_impl::reserved_flag4_changed);
    raise(now.reservedFlag5 != before.reservedFlag5, &bus_impl::reserved_flag5_changed);
    raise(now.settings.bufferSize != before.settings.bufferSize, &bus_impl::buffer_size_changed);
    raise(now.settings.minBufferSize != before.settings.minBufferSize, &bus_impl::buffer_size_min_changed);
    raise(now.settings.maxBufferSize != before.settings.maxBufferSize, &bus_impl::buffer_size_max_changed);
    // A hook that throws leaves the previous record as it was, so the next
    // update raises every change again.
    *m_previous = *m_current;
    return raised;
}

bool bus_impl::update_devices() {
    lock_scope hold;
    bool added = false;
    // Re-read for every step: adding a device runs code that may refresh.
    for (uint32_t i = 0; i < m_current->device_count(); ++i) {
        uint64_t id = m_current->settings.deviceIds[i];
        try {
            added = add_device(id) || added;
        } catch (const mrak::exception::base& e) {
            // One device that cannot come up keeps no other out; the
            // application hears of it, and the next update tries it again.
            TRACE(kLibError, this, id, e.line());
            on_exception(e);
        }
    }
    return added;
}

bool bus_impl::has_device(uint64_t id) {
    lock_scope hold;
    const BusRecord& current = *m_current;
    for (uint32_t i = 0; i < current.device_count(); ++i) {
        if (current.settings.deviceIds[i] == id) return true;
    }
    return false;
}

BusRecord bus_impl::record() {
    lock_scope hold;
    return *m_current;
}

bool bus_impl::single_asio_client() { return record().singleAsioClient != 0; }
uint32_t bus_impl::sample_rate() { return record().settings.sampleRate; }
uint32_t bus_impl::clock_source() { return record().settings.clockSource; }
uint32_t bus_impl::buffer_size() { return record().settings.bufferSize; }
uint32_t bus_impl::buffer_size_min() { return record().settings.minBufferSize; }
uint32_t bus_impl::buffer_size_max() { return record().settings.maxBufferSize; }
uint32_t bus_impl::operation_mode() { return record().settings.operationMode; }

bus_impl::list bus_impl::sample_rates() {
    BusRecord current = record();
    list rates;
    for (uint32_t i = 0; i < current.rateCount && i < kMaxRates; ++i) {
        char text[kRateTextBytes];
        std::snprintf(text, sizeof(text), "%u", current.rates[i]);
        rates.emplace(current.rates[i], text);  // a rate listed twice is kept once
    }
    return rates;
}

bus_impl::list bus_impl::clock_sources() { return {}; }

bus_impl::list bus_impl::operation_modes() {
    static const list modes = {
        {0, "Lowest Latency"}, {1, "Lower Latency"}, {2, "Normal"}, {3, "Safe Mode 1"}, {4, "Safe Mode 2"},
    };
    return modes;
}

namespace {

void SendSetter(bus_impl& bus, uint16_t command, uint32_t value) {
    bus.dcp_cmd(0, kDcpCategoryBus, command, &value, sizeof(value), nullptr, nullptr);
}

}  // namespace

void bus_impl::set_sample_rate(uint32_t hz) { SendSetter(*this, kDcpBusSetSampleRate, hz); }
void bus_impl::set_clock_source(uint32_t id) { SendSetter(*this, kDcpBusSetClockSource, id); }
void bus_impl::set_operation_mode(uint32_t mode) { SendSetter(*this, kDcpBusSetOperationMode, mode); }
void bus_impl::set_buffer_size(uint32_t frames) { SendSetter(*this, kDcpBusSetBufferSize, frames); }

// The hooks: empty here, for the application to override.
void bus_impl::on_exception(const mrak::exception::base&) {}
void bus_impl::devices_updated() {}
void bus_impl::devices_changed() {}
void bus_impl::progress(uint32_t, uint32_t) {}
void bus_impl::single_asio_client_changed() {}
void bus_impl::reserved_flag2_changed() {}
void bus_impl::reserved_flag3_changed() {}
void bus_impl::reserved_flag1_changed() {}
void bus_impl::reserved_flag5_changed() {}
void bus_impl::reserved_flag4_changed() {}
void bus_impl::current_device_changed() {}
void bus_impl::operation_mode_changed() {}
void bus_impl::spare_notification_1() {}
void bus_impl::sample_rate_changed() {}
void bus_impl::spare_notification_2() {}
void bus_impl::clock_source_changed() {}
void bus_impl::buffer_size_changed() {}
void bus_impl::buffer_size_min_changed() {}
void bus_impl::buffer_size_max_changed() {}
void bus_impl::spare_notification_3() {}
void bus_impl::spare_notification_4(uint32_t, uint32_t) {}
void bus_impl::client_count_changed() {}

}  // namespace mrak::vexa

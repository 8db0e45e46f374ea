#define LOG_FILE_NUMBER 1004

#include "common/device.h"

#include <algorithm>
#include <cstring>

#include "common/bus_impl.h"
#include "common/library_trace.h"
#include "common/xptn.h"

using namespace ::vexa::pal;

namespace mrak::vexa {
namespace {

constexpr const char* kFile = "..\\..\\common\\mrak_vexa_pal_device";
constexpr uint32_t kLineCategoryReply = 1423;
constexpr uint32_t kLineNoOwner = 1440;

constexpr uint16_t kDcpGlobalHasCategory = 1;
constexpr uint16_t kDcpGlobalDeviceInfo = 2;
constexpr uint16_t kDcpCategoryRead = 0;
constexpr uint16_t kDcpCategory4Entry = 1;
constexpr uint16_t kDcpClockStatus = 4;
constexpr uint16_t kDcpClockStatus2 = 5;
constexpr uint32_t kClockStatusBit = 1;

constexpr uint16_t kCantileQkProductId = 0x802A;
constexpr uint16_t kCantileQeProductId = 0x802C;

template <typename T>
T At(const std::array<uint8_t, kDeviceInfoBytes>& bytes, size_t offset) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof(value));
    return value;
}

DeviceClockState AllOnes() {
    DeviceClockState state;
    std::memset(&state, 0xFF, sizeof(state));
    return state;
}

// The reply of DCP 6/2: rate, clock id and a third field.
struct ClockReply {
    uint32_t sampleRate;
    uint16_t clockSourceId;
    uint16_t clockExtra;
};
static_assert(sizeof(ClockReply) == 8);

}  // namespace

uint64_t DeviceInfo::firmware_version() const { return At<uint64_t>(bytes, 8); }
uint32_t DeviceInfo::product_id() const { return At<uint32_t>(bytes, 52); }
uint32_t DeviceInfo::serial_number() const { return At<uint32_t>(bytes, 72); }

std::string DeviceInfo::model_name() const {
    switch (product_id()) {
        case kCantileQkProductId: return "Cantile-QK";
        case kCantileQeProductId: return "Cantile-QE";
        default: return "N/A";
    }
}

device::device()
    : m_owner(nullptr, holder_id()),
      m_clock(std::make_unique<DeviceClockState>(AllOnes())),
      m_clockPrevious(std::make_unique<DeviceClockState>(AllOnes())) {
    TRACE(kLibInfo, this);
}

device::~device() {
    TRACE(kLibInfo, this);
    m_owner.release();
}

void device::create(bus_impl* owner, uint64_t id) {
    lock_scope hold;
    TRACE(kLibInfo, this, owner, id);
    m_owner = reference<bus_impl>(owner, holder_id());  // the new bus taken before the old one goes
    m_id = id;

    m_info = DeviceInfo{};
    uint64_t length = m_info.bytes.size();
    dcp_cmd(kDcpCategoryGlobal, kDcpGlobalDeviceInfo, nullptr, 0, m_info.bytes.data(), &length);

    for (uint16_t category = 1; category <= kCategories; ++category) {
        std::vector<uint8_t>& block = m_category[category - 1];
        block.assign(4u * category, 0);
        m_hasCategory[category - 1] = supports_dcp_category(category);
        if (!m_hasCategory[category - 1]) continue;
        length = block.size();
        dcp_cmd(category, kDcpCategoryRead, nullptr, 0, block.data(), &length);
    }

    m_category4Entries.clear();
    if (m_hasCategory[3]) {
        uint32_t count;
        std::memcpy(&count, m_category[3].data() + sizeof(uint32_t), sizeof(count));
        if (count > kMaxCategory4Entries) {
            TRACE(kLibWarning, this, count);
            count = kMaxCategory4Entries;
        }
        m_category4Entries.assign(count, category4_entry{});
        for (uint32_t i = 0; i < count; ++i) {
            category4_entry& entry = m_category4Entries[i];
            length = entry.size();
            dcp_cmd(4, kDcpCategory4Entry, &i, sizeof(i), entry.data(), &length);
            entry.back() = '\0';
        }
    }
}

bool device::supports_dcp_category(uint16_t category) {
    uint8_t answer = 0;
    uint64_t length = sizeof(answer);
    dcp_cmd(kDcpCategoryGlobal, kDcpGlobalHasCategory, &category, sizeof(category), &answer, &length);
    if (length != sizeof(answer)) {
        throw make_xptn<xptn_device_firmware>(kFile, kLineCategoryReply, "mrak::vexa::device::supports_dcp_category",
                                              "1");
    }
    return answer != 0;
}

void device::refresh(uint32_t bits) {
    lock_scope hold;
    TRACE(kLibInfo, this, bits);
    if ((bits & kDeviceChangeClockStatus) != 0) {
        uint32_t status = 0;
        uint64_t length = sizeof(status);
        dcp_cmd(kDcpCategoryClock, kDcpClockStatus, nullptr, 0, &status, &length);
        m_clock->clockStatus = status & kClockStatusBit;
    }
    if ((bits & (kDeviceChangeClock | kDeviceChangeClockStatus)) != 0) {
        ClockReply reply{};
        uint64_t length = sizeof(reply);
        dcp_cmd(kDcpCategoryClock, kDcpClockGet, nullptr, 0, &reply, &length);
        m_clock->sampleRate = reply.sampleRate;
        m_clock->clockSourceId = reply.clockSourceId;
        m_clock->clockExtra = reply.clockExtra;
        uint32_t word = 0;
        length = sizeof(word);
        dcp_cmd(kDcpCategoryClock, kDcpClockStatus2, nullptr, 0, &word, &length);
        m_clock->clockWord = word;
    }
    m_pending |= bits;
}

bool device::update() {
    lock_scope hold;
    bool raised = false;
    if (m_clock->clockStatus != m_clockPrevious->clockStatus) {
        raised = true;
        clock_status_changed(m_clockPrevious->clockStatus);
    }
    if ((m_pending & kDeviceNotificationMask) != 0) {
        TRACE(kLibDetail, this, m_pending);
        raised = true;
        device_notification(m_pending & kDeviceNotificationMask);
    }
    *m_clockPrevious = *m_clock;
    m_pending = 0;
    return raised;
}

void device::dcp_cmd(uint16_t category, uint16_t command, const void* data, uint64_t dataSize, void* response,
                     uint64_t* responseSize) {
    bus_impl* bus;
    uint64_t target;
    {
        lock_scope hold;
        bus = m_owner.get();
        target = m_id;
    }
    // The device holds its bus, so the bus outlives this call; without one
    // (before create) there is nothing to send through.
    if (bus == nullptr) {
        throw make_xptn<xptn_internal>(kFile, kLineNoOwner, "mrak::vexa::device::dcp_cmd", "!m_owner");
    }
    bus->dcp_cmd(target, category, command, data, dataSize, response, responseSize);
}

reference<bus_impl> device::owner() {
    lock_scope hold;
    return reference<bus_impl>(m_owner.get(), 0);
}

uint64_t device::id() {
    lock_scope hold;
    return m_id;
}

DeviceInfo device::info() {
    lock_scope hold;
    return m_info;
}

DeviceClockState device::clock() {
    lock_scope hold;
    return *m_clock;
}

bool device::has_category(uint16_t category) {
    lock_scope hold;
    return category >= 1 && category <= kCategories && m_hasCategory[category - 1];
}

std::vector<uint8_t> device::category_block(uint16_t category) {
    lock_scope hold;
    if (category < 1 || category > kCategories || !m_hasCategory[category - 1]) return {};
    return m_category[category - 1];
}

std::vector<category4_entry> device::category4_entries() {
    lock_scope hold;
    return m_category4Entries;
}

void device::attached() {}
void device::detached() {}
void device::spare_hook_1() {}
void device::spare_hook_2() {}
void device::clock_status_changed(uint32_t) {}
void device::spare_hook_3() {}
void device::spare_hook_4() {}
void device::spare_hook_5() {}
void device::spare_hook_6() {}
void device::device_notification(uint32_t) {}
void device::spare_hook_7(uint32_t, uint32_t) {}

}  // namespace mrak::vexa

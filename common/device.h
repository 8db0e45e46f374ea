// mrak::vexa::device: one audio interface behind a bus, named by the 64-bit
// id the root driver lists in its bus settings. It reads the interface's
// identity (DeviceInfo) and the optional firmware blocks of DCP categories 1
// to 4 once when created, follows the interface's clock state on demand, and
// turns the firmware's notification bits into hooks. Every command goes
// through the owning bus with the device id as target.
//
// Threads and lock: create and refresh take the library lock; update runs
// under its caller's (the bus's notification thread, or the system); the
// accessors take the lock for their copy.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/base.h"

namespace mrak::vexa {

class bus_impl;

// Change bits (of m_pending and of a device event): bit 2 re-reads the clock
// setting, bit 3 the clock status and the setting; bits 21-31 go to the
// application unchanged; the rest mean nothing to the library.
inline constexpr uint32_t kDeviceChangeClock = 1u << 2;
inline constexpr uint32_t kDeviceChangeClockStatus = 1u << 3;
inline constexpr uint32_t kDeviceChangeAll = 0x1FFFFC;  // bits 2-20
inline constexpr uint32_t kDeviceNotificationMask = 0xFFE00000;  // bits 21-31

inline constexpr size_t kDeviceInfoBytes = 88;
inline constexpr size_t kCategory4EntryBytes = 24;
// More entries than any firmware has; a count beyond it is not believed.
inline constexpr uint32_t kMaxCategory4Entries = 64;

// The firmware's identity block (DCP 0/2), read by byte position. A default one is 88 zero bytes.
struct DeviceInfo {
    std::array<uint8_t, kDeviceInfoBytes> bytes{};

    uint64_t firmware_version() const;  // PackedVersion at byte 8
    uint32_t product_id() const;        // byte 52
    uint32_t serial_number() const;     // byte 72
    // "Cantile-QK" (0x802A), "Cantile-QE" (0x802C), "N/A" for any other product.
    std::string model_name() const;
};

struct DeviceClockState {
    uint32_t sampleRate;     // Hz, first word of DCP 6/2
    uint32_t clockWord;      // DCP 6/5, not interpreted
    uint16_t clockSourceId;  // clock id of DCP 6/2
    uint16_t clockExtra;     // third field of DCP 6/2
    uint32_t clockStatus;    // bit 0 of DCP 6/4: 0 or 1 once read
};

// A category-4 entry: text of at most 23 characters, always terminated.
using category4_entry = std::array<char, kCategory4EntryBytes>;

class device : public base {
public:
    device();

protected:
    // Not public: library objects are made with new and deleted by the
    // library when their last holder goes (base.h), never on the stack.
    ~device() override;

public:

    // Virtual operations, in slot order.
    virtual void create(bus_impl* owner, uint64_t id);
    virtual void refresh(uint32_t bits);
    virtual bool update();
    virtual void attached();
    virtual void detached();
    // The owning bus, held as from outside the library: a copy that outlives
    // this device still holds a live bus.
    virtual reference<bus_impl> owner();
    virtual void spare_hook_1();
    virtual void spare_hook_2();
    virtual void clock_status_changed(uint32_t previousStatus);
    virtual void spare_hook_3();
    virtual void spare_hook_4();
    virtual void spare_hook_5();
    virtual void spare_hook_6();
    virtual void device_notification(uint32_t bits);
    virtual void spare_hook_7(uint32_t first, uint32_t second);
    // The owner's dcp_cmd with this device's id as target. Throws before create.
    virtual void dcp_cmd(uint16_t category, uint16_t command, const void* data, uint64_t dataSize, void* response,
                         uint64_t* responseSize);

    bool supports_dcp_category(uint16_t category);
    uint64_t id();
    DeviceInfo info();
    std::string nickname() { return "Temporary Nickname"; }
    DeviceClockState clock();
    // The firmware blocks as read at creation: whether category 1-4 is there, its block, and category 4's entries.
    bool has_category(uint16_t category);
    std::vector<uint8_t> category_block(uint16_t category);
    std::vector<category4_entry> category4_entries();

private:
    static constexpr uint16_t kCategories = 4;

    reference<bus_impl> m_owner;             // set by create; carries this device's id from construction
    uint64_t m_id = ~uint64_t{0};            // guarded by the lock
    uint32_t m_pending = kDeviceChangeAll;   // guarded by the lock: change bits since the last update
    std::unique_ptr<DeviceClockState> m_clock;          // guarded by the lock: as last read
    std::unique_ptr<DeviceClockState> m_clockPrevious;  // guarded by the lock: as of the last update
    DeviceInfo m_info;                                  // guarded by the lock
    bool m_hasCategory[kCategories] = {};               // guarded by the lock
    std::vector<uint8_t> m_category[kCategories];       // guarded by the lock: 4, 8, 12 and 16 bytes
    std::vector<category4_entry> m_category4Entries;    // guarded by the lock
};

}  // namespace mrak::vexa

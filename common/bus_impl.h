// mrak::vexa::bus_impl: the library's connection to one root driver. It opens
// the root driver's PAL interface, checks the interface version, registers as
// a PAL client, sends DCP commands, runs a notification thread that keeps one
// kIoctlWaitNotification pending and turns each PalNotification into calls of
// the bus's own virtual operations, and keeps the bus state in two cached
// records (the last read and the last compared), raising one hook per
// changed field. The template mrak::vexa::bus (bus.h) adds the device list.
//
// Threads: the application's threads call open, close, the getters and the
// setters; the notification thread runs every hook of a notification with
// the library lock held. Lock: the library's one lock (base.h); open, close,
// refresh, the getters and the notification thread's dispatch hold it;
// create, ioctl and dcp_cmd take none, so a setter may send its command while
// the thread refreshes. The notification thread never blocks on the lock.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "common/base.h"
#include "common/bus_record.h"
#include "common/exception.h"
#include "platform/win32/windows.h"

namespace mrak::vexa {

class bus_link;

class bus_impl : public base {
public:
    using list = std::map<uint32_t, std::string>;

    // The PAL interface version this library implements; the root driver's
    // lowest compatible version must not exceed it.
    static constexpr uint32_t kIoctlAPIVersion = 0x7001;
    // How long open keeps retrying an interface that answers busy.
    static constexpr uint32_t kMRAK_VEXA_DRIVER_OPEN_TIMEOUT = 10000;  // ms
    static constexpr uint32_t kDefaultTimeout = 5000;                   // ms
    static constexpr uint32_t kRetryPauseMs = 100;

    bus_impl();

    // Virtual operations, in slot order.
    virtual void create(base* system, std::string path);
    virtual void open();
    virtual bool add_device(uint64_t id) = 0;
    virtual bool has_device(uint64_t id);
    virtual uint64_t driver_version();
    virtual DWORD ready_wait();
    virtual void ready_set();
    virtual void ready_reset();
    virtual const std::string& path();
    virtual bool single_asio_client();
    virtual list sample_rates();
    virtual void set_sample_rate(uint32_t hz);
    virtual uint32_t sample_rate();
    virtual list clock_sources();
    virtual void set_clock_source(uint32_t id);
    virtual uint32_t clock_source();
    virtual void set_buffer_size(uint32_t frames);
    virtual uint32_t buffer_size();
    virtual uint32_t buffer_size_min();
    virtual uint32_t buffer_size_max();
    virtual list operation_modes();
    virtual void set_operation_mode(uint32_t mode);
    virtual uint32_t operation_mode();
    virtual void on_exception(const mrak::exception::base& e);
    virtual bool update();
    virtual void devices_updated();
    virtual void devices_changed();
    virtual void refresh();
    virtual void device_notification(uint64_t id, uint32_t bits) = 0;
    virtual bool update_devices();
    virtual void set_timeout(uint32_t ms);
    virtual void progress(uint32_t percent, uint32_t index);
    virtual void single_asio_client_changed();
    virtual void reserved_flag2_changed();
    virtual void reserved_flag3_changed();
    virtual void reserved_flag1_changed();
    virtual void reserved_flag5_changed();
    virtual void reserved_flag4_changed();
    virtual void current_device_changed();
    virtual void operation_mode_changed();
    virtual void spare_notification_1();
    virtual void sample_rate_changed();
    virtual void spare_notification_2();
    virtual void clock_source_changed();
    virtual void buffer_size_changed();
    virtual void buffer_size_min_changed();
    virtual void buffer_size_max_changed();
    virtual void spare_notification_3();
    virtual void spare_notification_4(uint32_t first, uint32_t second);
    virtual void client_count_changed();

protected:
    // Not public: library objects are made with new and deleted by the
    // library when their last holder goes (base.h), never on the stack.
    ~bus_impl() override;

public:
    // A DCP command: target 0 for the bus, else a device id. `responseSize`
    // holds the capacity of `response` on entry and the reply's payload
    // length on return.
    virtual void dcp_cmd(uint64_t target, uint16_t category, uint16_t command, const void* data, uint64_t dataSize,
                         void* response, uint64_t* responseSize);
    virtual void ioctl(uint32_t index, void* in, uint32_t inSize, void* out, uint32_t outSize);

    // Unregisters, stops the notification thread and closes the interface.
    // Does nothing on a bus that is not open. Never throws of its own and
    // never hangs: what is pending on the interface is cancelled before the
    // thread is joined, on the notification thread itself it only asks the
    // thread to stop, and it never waits for other requests (the last one
    // out closes the handle), so any hook on any thread may call it.
    void close();
    // Open, and its notification thread still serving (false once the thread
    // ended on an error the bus cannot recover from).
    bool alive();
    // Alive, and its interface still answers a version request on the
    // handle it opened: false once the root device behind the handle has
    // gone, even while the notification thread has not yet noticed.
    bool connected();
    // A consistent copy of the cached state, taken under the lock.
    BusRecord record();
    // The notification thread's entry; its argument is the bus.
    static DWORD static_thread_notification(LPVOID bus);

protected:
    // The dispatch of one notification record. Caller holds the lock.
    void dispatch(const ::vexa::pal::PalNotification& record);

private:
    // The open interface, held for a request's whole life; null while closed.
    std::shared_ptr<bus_link> link();

    reference<base> m_system;  // set by create; carries this bus's id from construction
    volatile ULONG m_timeout = kDefaultTimeout;  // ms; release writes by set_timeout, acquire reads
    uint64_t m_driverVersion = 0;          // PackedVersion of the last version request
    std::unique_ptr<BusRecord> m_current;   // guarded by the lock: state as last read by refresh
    std::unique_ptr<BusRecord> m_previous;  // guarded by the lock: state as of the last update
    std::string m_path;
    HANDLE m_hThread = nullptr;  // guarded by the lock
    HANDLE m_hReady = nullptr;
    // The open interface, shared with the requests in flight and the
    // notification thread (which may outlive this bus by the few
    // instructions after a close on its own thread). Written by open and
    // close, which hold the library lock too; read by requests on any thread.
    std::shared_ptr<bus_link> m_link;  // guarded by m_linkLock
    CRITICAL_SECTION m_linkLock{};      // taken for a copy or a change of m_link only
    volatile LONG m_alive = 0;          // interlocked
};

}  // namespace mrak::vexa

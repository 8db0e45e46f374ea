// The framework device object: the FDO over a PDO, its PnP/power callbacks
// (driven by the PnP manager through the kernel's PnpDevice steps), device
// interfaces and query-interface.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "fx_object.h"
#include "platform/kernel/io.h"
#include "platform/kernel/pnp_device.h"
#include "platform/kmdf/wdf_childlist.h"
#include "platform/kmdf/wdf_device.h"
#include "platform/kmdf/wdf_fileobject.h"

namespace platform::kmdf {
class FxDriver;
class FxIoQueue;
class FxRequest;
class FxChildList;
struct FxPdoInit;
}

// What the PnP manager hands to EvtDriverDeviceAdd; filled by the
// WdfDeviceInit* calls and consumed by WdfDeviceCreate.
struct WDFDEVICE_INIT {
    platform::kmdf::FxDriver* driver = nullptr;
    DEVICE_OBJECT* pdo = nullptr;
    WDF_PNPPOWER_EVENT_CALLBACKS pnpPower{};
    ULONG deviceType = FILE_DEVICE_UNKNOWN;
    BOOLEAN exclusive = FALSE;
    WDF_FILEOBJECT_CONFIG fileConfig{};
    WDF_OBJECT_ATTRIBUTES fileAttributes{};
    bool hasFileAttributes = false;
    PFN_WDF_IO_IN_CALLER_CONTEXT ioInCallerContext = nullptr;
    // A bus FDO's default child list (WdfFdoInitSetDefaultChildListConfig).
    bool hasDefaultChildList = false;
    WDF_CHILD_LIST_CONFIG childListConfig{};
    WDF_OBJECT_ATTRIBUTES childListAttributes{};
    bool hasChildListAttributes = false;
    // A child's record, handed to its list's create callback; null for an FDO.
    platform::kmdf::FxPdoInit* pdoInit = nullptr;
};

namespace platform::kmdf {

class FxDevice : public FxObject, public PnpDevice {
public:
    static constexpr FxType kType = FxType::Device;

    // Takes over `fdo`, a device object the framework created for the driver.
    FxDevice(WDFDEVICE_INIT* init, DEVICE_OBJECT* fdo);
    ~FxDevice() override;

    // The framework device behind a device object; null for any other.
    static FxDevice* of(DEVICE_OBJECT* fdo);

    FxDriver* driver() const { return driver_; }
    DEVICE_OBJECT* fdo() { return fdo_; }
    DEVICE_OBJECT* pdo() const { return pdo_; }
    const WDF_DEVICE_PNP_CAPABILITIES& capabilities() const { return capabilities_; }
    void set_capabilities(const WDF_DEVICE_PNP_CAPABILITIES& caps);

    // PnpDevice: the framework's callbacks in the framework's order.
    NTSTATUS start() override;
    void stop() override;
    NTSTATUS power_down(DEVICE_POWER_STATE target, POWER_ACTION action) override;
    NTSTATUS power_up() override;
    void surprise_removal() override;
    // The framework deletes the device at the end of its removal.
    void remove() override;

    NTSTATUS add_interface(const GUID& interfaceClass, PCUNICODE_STRING referenceString);
    NTSTATUS add_query_interface(const WDF_QUERY_INTERFACE_CONFIG& config);

    NTSTATUS dispatch_irp(DEVICE_OBJECT* device, IRP* irp) override;
    // A dispatch holds the device's memory: a removal on another thread may drop the last other reference.
    bool pin() override { return try_add_reference(); }
    void unpin() override { release(); }

    // Queues register themselves; the default one takes what no in-caller-context hook claims.
    void add_queue(FxIoQueue* queue);
    void remove_queue(FxIoQueue* queue);
    FxIoQueue* default_queue();
    NTSTATUS enqueue_request(FxRequest* request);

    // The child list the bus-relations query answers from; null for no bus.
    FxChildList* default_child_list() const { return defaultChildList_.load(std::memory_order_acquire); }
    void set_default_child_list(FxChildList* list) { defaultChildList_.store(list, std::memory_order_release); }

    // The device's synchronisation lock: callbacks of objects whose scope is
    // the device (queues, work items with automatic serialisation) hold it.
    std::recursive_mutex& sync_lock() { return syncLock_; }

protected:
    void dispose() override;
    void destroy() override;

private:
    struct QueryInterface {
        GUID type;
        std::vector<uint8_t> copy;  // the registered interface record
        BOOLEAN import;
        PFN_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST callback;
    };

    NTSTATUS prepare_hardware();
    NTSTATUS release_hardware();
    NTSTATUS d0_entry(WDF_POWER_DEVICE_STATE previous);
    NTSTATUS d0_exit(WDF_POWER_DEVICE_STATE target);
    void set_started(bool started);  // enables or disables the device interfaces
    NTSTATUS process_query_interface(IRP* irp);
    NTSTATUS query_bus_relations(IRP* irp);  // child_list.cpp
    void file_create(FxRequest* request);
    void file_cleanup(FxRequest* request);
    void file_close(FxRequest* request);
    // Runs a file callback under the device's lock when the file objects' scope is the device.
    template <typename Fn>
    void run_file_callback(Fn fn);

    FxDriver* driver_;
    DEVICE_OBJECT* fdo_;  // referenced by this object, so its memory outlives the deletion at removal
    DEVICE_OBJECT* pdo_;
    bool fdoDeleted_ = false;
    // Power and hardware state, PnP manager steps only (serialised per device).
    bool inD0_ = false;
    bool hardwareToRelease_ = false;  // preparation ran (a failed one too: its release still follows)
    WDF_POWER_DEVICE_STATE leftD0For_ = WdfPowerDeviceD3Final;
    WDF_PNPPOWER_EVENT_CALLBACKS callbacks_;
    WDF_DEVICE_PNP_CAPABILITIES capabilities_{};
    WDF_FILEOBJECT_CONFIG fileConfig_;
    WDF_OBJECT_ATTRIBUTES fileAttributes_;
    bool hasFileAttributes_;
    PFN_WDF_IO_IN_CALLER_CONTEXT ioInCallerContext_;

    std::mutex lock_;                          // guards the two lists and started_
    std::vector<uint64_t> interfaces_;         // machine interface ids
    std::vector<QueryInterface> queryInterfaces_;
    bool started_ = false;
    std::vector<FxIoQueue*> queues_;           // guarded by lock_
    std::recursive_mutex syncLock_;
    // Set at creation, cleared when the list (a child object of this device) goes.
    std::atomic<FxChildList*> defaultChildList_{nullptr};

    // The remove lock (see dispatch_irp).
    bool enter_dispatch();
    void leave_dispatch();
    // Called by the removal: no dispatch starts from now, those under way finish first.
    void wait_for_dispatches();
    std::mutex dispatchLock_;
    std::condition_variable dispatchIdle_;
    unsigned dispatching_ = 0;  // guarded by dispatchLock_
    bool removing_ = false;     // guarded by dispatchLock_
};

}  // namespace platform::kmdf

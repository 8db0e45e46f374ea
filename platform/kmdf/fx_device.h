// The framework device object: the FDO over a PDO, its PnP/power callbacks
// (driven by the machine's PnP manager), device interfaces and query-interface.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "fx_object.h"
#include "platform/kernel/io.h"
#include "platform/kmdf/wdf_device.h"
#include "platform/kmdf/wdf_fileobject.h"

namespace platform::kmdf {
class FxDriver;
class FxIoQueue;
class FxRequest;
}

// What the PnP manager hands to EvtDriverDeviceAdd; filled by the
// WdfDeviceInit* calls and consumed by WdfDeviceCreate.
struct WDFDEVICE_INIT {
    platform::kmdf::FxDriver* driver = nullptr;
    DEVICE_OBJECT* pdo = nullptr;
    std::u16string pdoName;
    std::u16string instanceId;
    WDF_PNPPOWER_EVENT_CALLBACKS pnpPower{};
    ULONG deviceType = FILE_DEVICE_UNKNOWN;
    BOOLEAN exclusive = FALSE;
    WDF_FILEOBJECT_CONFIG fileConfig{};
    WDF_OBJECT_ATTRIBUTES fileAttributes{};
    bool hasFileAttributes = false;
    PFN_WDF_IO_IN_CALLER_CONTEXT ioInCallerContext = nullptr;
};

namespace platform::kmdf {

class FxDevice : public FxObject, public IrpHandler {
public:
    explicit FxDevice(WDFDEVICE_INIT* init);
    ~FxDevice() override;

    FxDriver* driver() const { return driver_; }
    DEVICE_OBJECT* fdo() { return &fdo_; }
    DEVICE_OBJECT* pdo() const { return pdo_; }
    const std::u16string& instance_id() const { return instanceId_; }
    const WDF_DEVICE_PNP_CAPABILITIES& capabilities() const { return capabilities_; }
    void set_capabilities(const WDF_DEVICE_PNP_CAPABILITIES& caps);

    // PnP manager steps, PASSIVE_LEVEL, serialised per device by the PnP manager.
    NTSTATUS prepare_hardware();
    NTSTATUS release_hardware();
    NTSTATUS d0_entry(WDF_POWER_DEVICE_STATE previous);
    NTSTATUS d0_exit(WDF_POWER_DEVICE_STATE target);
    void surprise_removal();
    void set_started(bool started);  // enables or disables the device interfaces
    // The framework deletes the device at the end of its removal.
    void remove();

    NTSTATUS add_interface(const GUID& interfaceClass, PCUNICODE_STRING referenceString);
    NTSTATUS add_query_interface(const WDF_QUERY_INTERFACE_CONFIG& config);

    NTSTATUS dispatch_irp(DEVICE_OBJECT* device, IRP* irp) override;

    // Queues register themselves; the default one takes what no in-caller-context hook claims.
    void add_queue(FxIoQueue* queue);
    void remove_queue(FxIoQueue* queue);
    FxIoQueue* default_queue();
    NTSTATUS enqueue_request(FxRequest* request);

    // The device's synchronisation lock: callbacks of objects whose scope is
    // the device (queues, work items with automatic serialisation) hold it.
    std::recursive_mutex& sync_lock() { return syncLock_; }

protected:
    void dispose() override;

private:
    struct QueryInterface {
        GUID type;
        std::vector<uint8_t> copy;  // the registered interface record
        BOOLEAN import;
        PFN_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST callback;
    };

    NTSTATUS process_query_interface(IRP* irp);
    void file_create(FxRequest* request);
    void file_cleanup(FxRequest* request);
    void file_close(FxRequest* request);
    // Runs a file callback under the device's lock when the file objects' scope is the device.
    template <typename Fn>
    void run_file_callback(Fn fn);

    FxDriver* driver_;
    DEVICE_OBJECT fdo_{};
    DEVICE_OBJECT* pdo_;
    std::u16string pdoName_;
    std::u16string instanceId_;
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
};

}  // namespace platform::kmdf

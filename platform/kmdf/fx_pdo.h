// The framework's bus side: a child list on an FDO, the device-init record of
// a child being created, and the PDO it becomes. The parent FDO answers the
// PnP manager's bus-relations query from its child list; the PDO answers the
// id queries and serves the requests its function driver sends down.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fx_device.h"
#include "platform/kmdf/wdf_childlist.h"
#include "platform/kmdf/wdf_pdo.h"

namespace platform::kmdf {

class FxPdo;

// What the create callback sets on a child's init record.
struct FxPdoInit {
    FxDevice* parent = nullptr;
    class FxChildList* list = nullptr;
    std::u16string deviceId;
    std::vector<std::u16string> hardwareIds;
    std::u16string instanceId;
    struct Text {
        ULONG locale;
        std::u16string description;
        std::u16string location;
    };
    std::vector<Text> texts;
    ULONG defaultLocale = 0;
    PNP_BUS_INFORMATION bus{{}, InterfaceTypeUndefined, 0};  // the parent's, for its children
    FxPdo* created = nullptr;  // set by WdfDeviceCreate
};

class FxChildList : public FxObject {
public:
    static constexpr FxType kType = FxType::ChildList;

    FxChildList(FxDevice* device, const WDF_CHILD_LIST_CONFIG& config);

    FxDevice* device() const { return device_; }
    NTSTATUS add_present(const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* description);
    NTSTATUS mark_missing(const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* description);
    void begin_iteration(WDF_CHILD_LIST_ITERATOR* iterator);
    NTSTATUS retrieve_next(WDF_CHILD_LIST_ITERATOR* iterator, WDFDEVICE* device, WDF_CHILD_RETRIEVE_INFO* info);
    void end_iteration(WDF_CHILD_LIST_ITERATOR* iterator);

    // IRP_MN_QUERY_DEVICE_RELATIONS (BusRelations) on the parent: creates the
    // PDOs of new children and appends every present child's PDO (referenced).
    void report(std::vector<DEVICE_OBJECT*>* present);
    // The PnP manager removed a PDO of this list.
    void pdo_removed(FxPdo* pdo);
    void set_bus_information(const PNP_BUS_INFORMATION& bus);

protected:
    void dispose() override;

private:
    enum class State {
        Pending,        // added, no PDO yet
        Present,        // PDO created and reported
        Missing,        // marked missing, not yet reported
        GoneReported,   // reported missing; its PDO's removal is on the way
    };
    struct Entry {
        std::vector<uint8_t> description;
        State state;
        FxPdo* pdo = nullptr;
        uint64_t order;
    };

    bool equal(const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* a,
               const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* b);
    // Tells the PnP manager, unless an iteration holds the change back.
    void changed();
    NTSTATUS create(Entry& entry);

    FxDevice* device_;
    WDF_CHILD_LIST_CONFIG config_;
    // Enumeration and iterations exclude each other; held from begin to end of an iteration.
    std::recursive_mutex scanLock_;
    std::recursive_mutex lock_;     // guards the fields below
    std::list<Entry> entries_;
    uint64_t nextOrder_ = 1;
    unsigned iterations_ = 0;
    bool changedDuringIteration_ = false;
    PNP_BUS_INFORMATION bus_{{}, InterfaceTypeUndefined, 0};
};

// WdfDeviceCreate's step for an FDO whose init names a default child list.
NTSTATUS CreateDefaultChildList(FxDevice* device, const WDFDEVICE_INIT& init);

class FxPdo : public FxDevice {
public:
    FxPdo(WDFDEVICE_INIT* init, DEVICE_OBJECT* self);

    FxDevice* parent() const { return parent_; }
    FxChildList* list() const { return list_; }
    const FxPdoInit& ids() const { return ids_; }
    const WDF_DEVICE_POWER_CAPABILITIES& power_capabilities() const { return powerCaps_; }
    void set_power_capabilities(const WDF_DEVICE_POWER_CAPABILITIES& caps);

    NTSTATUS dispatch_irp(DEVICE_OBJECT* device, IRP* irp) override;
    std::u16string device_property(DEVICE_OBJECT* device, DEVICE_REGISTRY_PROPERTY property) override;
    // The PnP manager took the PDO (it removes it from then on).
    NTSTATUS start() override;
    bool taken() const { return taken_.load(std::memory_order_acquire); }
    // The framework deletes the PDO at its removal and tells its list.
    void remove() override;

protected:
    void destroy() override;

private:
    NTSTATUS query_id(IRP* irp);

    FxDevice* parent_;
    FxChildList* list_;
    FxPdoInit ids_;
    std::mutex capsLock_;
    WDF_DEVICE_POWER_CAPABILITIES powerCaps_{};  // guarded by capsLock_
    bool removed_ = false;                       // PnP manager steps only
    std::atomic<bool> taken_{false};
};

}  // namespace platform::kmdf

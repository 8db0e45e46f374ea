// Child lists: descriptions of a bus FDO's children, the PDOs created for
// them when the PnP manager enumerates the bus, and their iteration.
#include <algorithm>

#include "fx_pdo.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/pnp_relations.h"
#include "platform/kernel/rules.h"

using platform::kmdf::object_of;

namespace platform::kmdf {
namespace {

constexpr ULONG kRelationsTag = 0x6C656C46;  // "FlRl"

uint64_t IteratorPosition(const WDF_CHILD_LIST_ITERATOR* iterator) {
    return reinterpret_cast<uintptr_t>(iterator->Reserved[0]);
}

}  // namespace

FxChildList::FxChildList(FxDevice* device, const WDF_CHILD_LIST_CONFIG& config)
    : FxObject(FxType::ChildList), device_(device), config_(config) {}

bool FxChildList::equal(const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* a,
                        const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* b) {
    if (config_.EvtChildListIdentificationDescriptionCompare != nullptr) {
        return config_.EvtChildListIdentificationDescriptionCompare(
                   as_handle<WDFCHILDLIST>(), const_cast<WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER*>(a),
                   const_cast<WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER*>(b)) != FALSE;
    }
    return std::memcmp(a, b, config_.IdentificationDescriptionSize) == 0;
}

// Caller holds lock_.
void FxChildList::changed() {
    if (iterations_ != 0) {
        changedDuringIteration_ = true;
        return;
    }
    if (device_->pdo() != nullptr) IoInvalidateDeviceRelations(device_->pdo(), BusRelations);
}

NTSTATUS FxChildList::add_present(const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* description) {
    if (description->IdentificationDescriptionSize != config_.IdentificationDescriptionSize) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard lock(lock_);
    if (deleting()) return STATUS_DELETE_PENDING;
    for (Entry& entry : entries_) {
        auto* existing = reinterpret_cast<const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER*>(entry.description.data());
        if (entry.state == State::GoneReported || !equal(existing, description)) continue;
        if (entry.state != State::Missing) return STATUS_OBJECT_NAME_EXISTS;
        // Marked missing and not yet reported: that child still goes, and a
        // new one takes this description, so its PDO is built from what the
        // caller describes now rather than from what the old one carried.
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(description);
    entries_.push_back(Entry{std::vector<uint8_t>(bytes, bytes + config_.IdentificationDescriptionSize),
                             State::Pending, nullptr, nextOrder_++});
    changed();
    return STATUS_SUCCESS;
}

NTSTATUS FxChildList::mark_missing(const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* description) {
    if (description->IdentificationDescriptionSize != config_.IdentificationDescriptionSize) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard lock(lock_);
    for (Entry& entry : entries_) {
        auto* existing = reinterpret_cast<const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER*>(entry.description.data());
        if ((entry.state != State::Pending && entry.state != State::Present) || !equal(existing, description)) continue;
        entry.state = State::Missing;
        changed();
        return STATUS_SUCCESS;
    }
    return STATUS_NO_SUCH_DEVICE;
}

void FxChildList::begin_iteration(WDF_CHILD_LIST_ITERATOR* iterator) {
    scanLock_.lock();
    std::lock_guard lock(lock_);
    ++iterations_;
    iterator->Reserved[0] = nullptr;
}

NTSTATUS FxChildList::retrieve_next(WDF_CHILD_LIST_ITERATOR* iterator, WDFDEVICE* device,
                                    WDF_CHILD_RETRIEVE_INFO* info) {
    if (info == nullptr || info->IdentificationDescription == nullptr ||
        info->IdentificationDescription->IdentificationDescriptionSize != config_.IdentificationDescriptionSize) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard lock(lock_);
    uint64_t position = IteratorPosition(iterator);
    for (Entry& entry : entries_) {
        if (entry.order <= position) continue;
        bool wanted = false;
        switch (entry.state) {
            case State::Pending:
                // Added as present and not enumerated yet: present all the same.
                wanted = (iterator->Flags & (WdfRetrievePresentChildren | WdfRetrievePendingChildren)) != 0;
                break;
            case State::Present:
                wanted = (iterator->Flags & WdfRetrievePresentChildren) != 0;
                break;
            case State::Missing:
                wanted = (iterator->Flags & WdfRetrieveMissingChildren) != 0;
                break;
            case State::GoneReported:
                break;
        }
        if (!wanted) continue;
        iterator->Reserved[0] = reinterpret_cast<PVOID>(static_cast<uintptr_t>(entry.order));
        std::memcpy(info->IdentificationDescription, entry.description.data(), entry.description.size());
        info->Status = entry.pdo != nullptr ? WdfChildListRetrieveDeviceSuccess : WdfChildListRetrieveDeviceNotYetCreated;
        if (device != nullptr) *device = entry.pdo != nullptr ? entry.pdo->as_handle<WDFDEVICE>() : nullptr;
        return STATUS_SUCCESS;
    }
    return STATUS_NO_MORE_ENTRIES;
}

void FxChildList::end_iteration(WDF_CHILD_LIST_ITERATOR*) {
    {
        std::lock_guard lock(lock_);
        if (iterations_ == 0) {
            rule_violation("WDF child list", "WdfChildListEndIteration without a matching begin");
            return;
        }
        if (--iterations_ == 0 && changedDuringIteration_) {
            changedDuringIteration_ = false;
            changed();
        }
    }
    scanLock_.unlock();
}

// Caller holds scanLock_ and lock_. PASSIVE_LEVEL, on the enumeration worker.
NTSTATUS FxChildList::create(Entry& entry) {
    if (deleting() || device_->deleting()) return STATUS_DELETE_PENDING;
    FxPdoInit pdoInit;
    pdoInit.parent = device_;
    pdoInit.list = this;
    pdoInit.bus = bus_;
    WDFDEVICE_INIT init;
    init.driver = device_->driver();
    init.pdoInit = &pdoInit;
    auto* description = reinterpret_cast<WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER*>(entry.description.data());
    NTSTATUS status = config_.EvtChildListCreateDevice(as_handle<WDFCHILDLIST>(), description, &init);
    if (NT_SUCCESS(status) && pdoInit.created == nullptr) status = STATUS_INVALID_DEVICE_STATE;
    if (!NT_SUCCESS(status)) {
        // A device made before the callback failed goes again, with its clean-up.
        if (pdoInit.created != nullptr) pdoInit.created->delete_object();
        return status;
    }
    entry.pdo = pdoInit.created;
    return STATUS_SUCCESS;
}

void FxChildList::report(std::vector<DEVICE_OBJECT*>* present) {
    require_passive("child list enumeration");
    std::lock_guard scan(scanLock_);
    std::lock_guard lock(lock_);
    for (auto it = entries_.begin(); it != entries_.end();) {
        Entry& entry = *it;
        if (entry.state == State::Missing) {
            if (entry.pdo == nullptr) {
                it = entries_.erase(it);
                continue;
            }
            entry.state = State::GoneReported;  // left out of the relations: the PnP manager removes its PDO
        } else if (entry.state == State::Pending) {
            if (!NT_SUCCESS(create(entry))) {
                it = entries_.erase(it);
                continue;
            }
            entry.state = State::Present;
        }
        if (entry.state == State::Present) {
            ObReferenceObject(entry.pdo->fdo());
            present->push_back(entry.pdo->fdo());
        }
        ++it;
    }
}

void FxChildList::pdo_removed(FxPdo* pdo) {
    std::lock_guard lock(lock_);
    entries_.remove_if([pdo](const Entry& entry) { return entry.pdo == pdo; });
}

void FxChildList::set_bus_information(const PNP_BUS_INFORMATION& bus) {
    std::lock_guard lock(lock_);
    bus_ = bus;
}

void FxChildList::dispose() {
    if (device_->default_child_list() == this) device_->set_default_child_list(nullptr);
    std::vector<FxPdo*> orphans;
    {
        std::lock_guard lock(lock_);
        // The PnP manager removes the children it took before the bus itself;
        // a PDO it never took (its enumeration failed after the PDO was
        // built) is the framework's to delete, with its clean-up, now.
        for (Entry& entry : entries_) {
            if (entry.pdo != nullptr && !entry.pdo->taken()) orphans.push_back(entry.pdo);
        }
        entries_.clear();
    }
    for (FxPdo* pdo : orphans) pdo->delete_object();
}

NTSTATUS CreateDefaultChildList(FxDevice* device, const WDFDEVICE_INIT& init) {
    if (init.childListConfig.Size != sizeof(WDF_CHILD_LIST_CONFIG) ||
        init.childListConfig.EvtChildListCreateDevice == nullptr ||
        init.childListConfig.IdentificationDescriptionSize < sizeof(WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER)) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* list = new FxChildList(device, init.childListConfig);
    NTSTATUS status = list->attach(init.hasChildListAttributes ? &init.childListAttributes : nullptr, device);
    if (!NT_SUCCESS(status)) {
        list->release();
        return status;
    }
    device->set_default_child_list(list);
    return STATUS_SUCCESS;
}

// IRP_MN_QUERY_DEVICE_RELATIONS on a bus FDO: the present children's PDOs.
NTSTATUS FxDevice::query_bus_relations(IRP* irp) {
    FxChildList* list = default_child_list();
    if (irp->Stack.Parameters.QueryDeviceRelations.Type != BusRelations || list == nullptr) return irp->IoStatus.Status;
    std::vector<DEVICE_OBJECT*> present;
    list->report(&present);
    size_t bytes = offsetof(DEVICE_RELATIONS, Objects) + sizeof(DEVICE_OBJECT*) * std::max<size_t>(1, present.size());
    // The asker owns the list (ExFreePool) and the reference on each object in it.
    auto* relations = static_cast<DEVICE_RELATIONS*>(ExAllocatePoolWithTag(PagedPool, bytes, kRelationsTag));
    if (relations == nullptr) {
        for (DEVICE_OBJECT* pdo : present) ObDereferenceObject(pdo);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    relations->Count = static_cast<ULONG>(present.size());
    for (size_t i = 0; i < present.size(); ++i) relations->Objects[i] = present[i];
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    return STATUS_SUCCESS;
}

}  // namespace platform::kmdf

using platform::kmdf::FxChildList;
using platform::kmdf::FxDevice;

void WdfFdoInitSetDefaultChildListConfig(WDFDEVICE_INIT* init, PWDF_CHILD_LIST_CONFIG config,
                                         PWDF_OBJECT_ATTRIBUTES attributes) {
    if (init == nullptr || config == nullptr) return;
    init->hasDefaultChildList = true;
    init->childListConfig = *config;
    init->hasChildListAttributes = attributes != nullptr;
    if (attributes != nullptr) init->childListAttributes = *attributes;
}

WDFCHILDLIST WdfFdoGetDefaultChildList(WDFDEVICE device) {
    FxDevice* fx = object_of<FxDevice>(device, "WdfFdoGetDefaultChildList");
    if (fx == nullptr || fx->default_child_list() == nullptr) return nullptr;
    return fx->default_child_list()->as_handle<WDFCHILDLIST>();
}

void WdfDeviceSetBusInformationForChildren(WDFDEVICE device, PPNP_BUS_INFORMATION busInformation) {
    FxDevice* fx = object_of<FxDevice>(device, "WdfDeviceSetBusInformationForChildren");
    if (fx == nullptr || busInformation == nullptr) return;
    if (FxChildList* list = fx->default_child_list()) list->set_bus_information(*busInformation);
}

WDFDEVICE WdfChildListGetDevice(WDFCHILDLIST childList) {
    FxChildList* list = object_of<FxChildList>(childList, "WdfChildListGetDevice");
    return list == nullptr ? nullptr : list->device()->as_handle<WDFDEVICE>();
}

NTSTATUS WdfChildListAddOrUpdateChildDescriptionAsPresent(WDFCHILDLIST childList,
                                                          PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER identification,
                                                          PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER address) {
    platform::require_passive("WdfChildListAddOrUpdateChildDescriptionAsPresent");
    FxChildList* list = object_of<FxChildList>(childList, "WdfChildListAddOrUpdateChildDescriptionAsPresent");
    if (list == nullptr || identification == nullptr || address != nullptr) return STATUS_INVALID_PARAMETER;
    if (auto status = platform::fault::hit("WdfChildListAddOrUpdateChildDescriptionAsPresent")) return *status;
    return list->add_present(identification);
}

NTSTATUS WdfChildListUpdateChildDescriptionAsMissing(WDFCHILDLIST childList,
                                                     PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER identification) {
    platform::require_passive("WdfChildListUpdateChildDescriptionAsMissing");
    FxChildList* list = object_of<FxChildList>(childList, "WdfChildListUpdateChildDescriptionAsMissing");
    if (list == nullptr || identification == nullptr) return STATUS_INVALID_PARAMETER;
    if (auto status = platform::fault::hit("WdfChildListUpdateChildDescriptionAsMissing")) return *status;
    return list->mark_missing(identification);
}

void WdfChildListBeginIteration(WDFCHILDLIST childList, PWDF_CHILD_LIST_ITERATOR iterator) {
    platform::require_passive("WdfChildListBeginIteration");
    FxChildList* list = object_of<FxChildList>(childList, "WdfChildListBeginIteration");
    if (list != nullptr && iterator != nullptr) list->begin_iteration(iterator);
}

NTSTATUS WdfChildListRetrieveNextDevice(WDFCHILDLIST childList, PWDF_CHILD_LIST_ITERATOR iterator, WDFDEVICE* device,
                                        PWDF_CHILD_RETRIEVE_INFO info) {
    FxChildList* list = object_of<FxChildList>(childList, "WdfChildListRetrieveNextDevice");
    if (list == nullptr || iterator == nullptr) return STATUS_INVALID_PARAMETER;
    if (auto status = platform::fault::hit("WdfChildListRetrieveNextDevice")) return *status;
    return list->retrieve_next(iterator, device, info);
}

void WdfChildListEndIteration(WDFCHILDLIST childList, PWDF_CHILD_LIST_ITERATOR iterator) {
    FxChildList* list = object_of<FxChildList>(childList, "WdfChildListEndIteration");
    if (list != nullptr && iterator != nullptr) list->end_iteration(iterator);
}

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/fault.h"
#include "platform/kernel/strsafe.h"
#include "platform/kmdf/fx_pdo.h"
#include "platform/kmdf/wdf.h"
#include "platform/machine/driver_loader.h"
#include "platform/machine/machine.h"
#include "platform/machine/pnp_children.h"
#include "platform/machine/pnp_manager.h"

// A bus driver linked into the test: on the root node it is a bus FDO with a
// child list; on its children (hardware id "TEST\Child") it is their function
// driver, which asks its PDO one question over a device control.
namespace {

constexpr ULONG kAskParent = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct Description {
    WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER header;
    ULONG serial;
    ULONG context;  // not compared: a new context for the same serial is the same child
    const char16_t* hardwareId;
};

struct CHILD_CONTEXT {
    ULONG serial;
    ULONG context;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(CHILD_CONTEXT, GetChildContext)

struct Record {
    std::mutex lock;
    std::vector<std::string> events;
    WDFDEVICE bus = nullptr;
    NTSTATUS failCreate = STATUS_SUCCESS;
    WDFDEVICE parentSeen = nullptr;

    void add(std::string event) {
        std::lock_guard guard(lock);
        events.push_back(std::move(event));
    }
    std::vector<std::string> take() {
        std::lock_guard guard(lock);
        return std::exchange(events, {});
    }
};
Record g_record;

void ChildCleanup(WDFOBJECT device) {
    CHILD_CONTEXT* context = GetChildContext(device);
    g_record.add("pdo-cleanup:" + std::to_string(context->serial) + "/" + std::to_string(context->context));
}

void PdoIoctl(WDFQUEUE queue, WDFREQUEST request, size_t, size_t, ULONG code) {
    if (code != kAskParent) {
        WdfRequestComplete(request, STATUS_NOT_IMPLEMENTED);
        return;
    }
    WDFDEVICE pdo = WdfIoQueueGetDevice(queue);
    {
        std::lock_guard guard(g_record.lock);
        g_record.parentSeen = WdfPdoGetParent(pdo);
    }
    PVOID buffer = nullptr;
    if (!NT_SUCCESS(WdfRequestRetrieveOutputBuffer(request, sizeof(ULONG), &buffer, nullptr))) {
        WdfRequestComplete(request, STATUS_BUFFER_TOO_SMALL);
        return;
    }
    *static_cast<ULONG*>(buffer) = GetChildContext(pdo)->context;
    WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, sizeof(ULONG));
}

NTSTATUS CreateChild(WDFCHILDLIST, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER header, PWDFDEVICE_INIT init) {
    auto* description = reinterpret_cast<Description*>(header);
    g_record.add("create:" + std::to_string(description->serial));
    if (g_record.failCreate != STATUS_SUCCESS) return g_record.failCreate;
    UNICODE_STRING id;
    RtlInitUnicodeString(&id, description->hardwareId);
    NTSTATUS status = WdfPdoInitAssignDeviceID(init, &id);
    if (NT_SUCCESS(status)) status = WdfPdoInitAddHardwareID(init, &id);
    DECLARE_UNICODE_STRING_SIZE(text, 80);
    if (NT_SUCCESS(status)) status = RtlUnicodeStringPrintf(&text, u"%d", description->serial);
    if (NT_SUCCESS(status)) status = WdfPdoInitAssignInstanceID(init, &text);
    UNICODE_STRING location = RTL_CONSTANT_STRING(u"Slot");
    if (NT_SUCCESS(status)) status = RtlUnicodeStringPrintf(&text, u"%s", u"Test child");
    if (NT_SUCCESS(status)) status = WdfPdoInitAddDeviceText(init, &text, &location, 0x409);
    WdfPdoInitSetDefaultLocale(init, 0x409);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, CHILD_CONTEXT);
    attributes.EvtCleanupCallback = ChildCleanup;
    WDFDEVICE pdo = nullptr;
    if (NT_SUCCESS(status)) status = WdfDeviceCreate(&init, &attributes, &pdo);
    if (!NT_SUCCESS(status)) return status;
    *GetChildContext(pdo) = CHILD_CONTEXT{description->serial, description->context};
    WDF_IO_QUEUE_CONFIG queueConfig;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchSequential);
    queueConfig.EvtIoDeviceControl = PdoIoctl;
    WDFQUEUE queue;
    return WdfIoQueueCreate(pdo, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, &queue);
}

BOOLEAN CompareChildren(WDFCHILDLIST, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER a,
                        PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER b) {
    return reinterpret_cast<Description*>(a)->serial == reinterpret_cast<Description*>(b)->serial;
}

// The child's function driver asks its PDO at start.
NTSTATUS ChildD0Entry(WDFDEVICE device, WDF_POWER_DEVICE_STATE) {
    DEVICE_OBJECT* pdo = WdfDeviceWdmGetPhysicalDevice(device);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    ULONG answer = 0;
    IRP* irp = IoBuildDeviceIoControlRequest(kAskParent, pdo, nullptr, 0, &answer, sizeof(answer), FALSE, &done, &ioStatus);
    NTSTATUS status = IoCallDriver(pdo, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    g_record.add("child-start:" + std::to_string(answer));
    return status;
}

NTSTATUS ChildD0Exit(WDFDEVICE, WDF_POWER_DEVICE_STATE) {
    g_record.add("child-stop");
    return STATUS_SUCCESS;
}

void BusCleanup(WDFOBJECT) { g_record.add("bus-cleanup"); }

NTSTATUS DeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
    DEVICE_OBJECT* pdo = init->pdo;
    if (platform::DevNode* node = platform::DevNode::of(pdo); node != nullptr && !node->hardwareIds.empty() &&
                                                               node->hardwareIds[0] == u"TEST\\Child") {
        WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
        WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
        callbacks.EvtDeviceD0Entry = ChildD0Entry;
        callbacks.EvtDeviceD0Exit = ChildD0Exit;
        WdfDeviceInitSetPnpPowerEventCallbacks(init, &callbacks);
        WDFDEVICE device;
        return WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
    }
    WDF_CHILD_LIST_CONFIG config;
    WDF_CHILD_LIST_CONFIG_INIT(&config, sizeof(Description), CreateChild);
    config.EvtChildListIdentificationDescriptionCompare = CompareChildren;
    WdfFdoInitSetDefaultChildListConfig(init, &config, WDF_NO_OBJECT_ATTRIBUTES);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = BusCleanup;
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&init, &attributes, &device);
    if (NT_SUCCESS(status)) g_record.bus = device;
    return status;
}

NTSTATUS BusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, DeviceAdd);
    return WdfDriverCreate(driver, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, nullptr);
}

class ChildListTest : public ::testing::Test {
protected:
    ChildListTest() {
        g_record.take();
        g_record.failCreate = STATUS_SUCCESS;
        machine_.drivers().install_builtin("TestBus", BusDriverEntry);
        platform::register_driver_match(u"TEST\\Child", "TestBus");
        bus_ = machine_.pnp().add_node(u"ROOT\\TESTBUS\\0000", {u"Root\\TestBus"}, "TestBus");
        list_ = WdfFdoGetDefaultChildList(g_record.bus);
    }
    ~ChildListTest() override { machine_.shutdown(); }

    NTSTATUS add(ULONG serial, ULONG context, const char16_t* id = u"TEST\\Child") {
        Description d{{sizeof(Description)}, serial, context, id};
        return WdfChildListAddOrUpdateChildDescriptionAsPresent(list_, &d.header, nullptr);
    }
    NTSTATUS missing(ULONG serial) {
        Description d{{sizeof(Description)}, serial, 0, nullptr};
        return WdfChildListUpdateChildDescriptionAsMissing(list_, &d.header);
    }
    std::vector<platform::DevNode*> children() {
        return machine_.attachment<platform::PnpChildren>().children_of(*bus_);
    }
    std::u16string property(platform::DevNode* node, DEVICE_REGISTRY_PROPERTY which) {
        char16_t buffer[128] = {};
        ULONG bytes = 0;
        DEVICE_OBJECT* pdo = &node->pdo;  // what the function driver sits on
        if (!NT_SUCCESS(IoGetDeviceProperty(pdo, which, sizeof(buffer), buffer, &bytes))) return {};
        return std::u16string(buffer, bytes / sizeof(char16_t));
    }

    platform::Machine machine_;
    platform::DevNode* bus_ = nullptr;
    WDFCHILDLIST list_ = nullptr;
};

// A child appears only when the PnP manager enumerates the bus (asynchronously), with the ids
// and text its PDO was given, its driver loaded and its requests served by the PDO's queue.
TEST_F(ChildListTest, AnAddedChildIsEnumeratedWithItsIdsAndServedByItsPdo) {
    ASSERT_NE(list_, nullptr);
    ASSERT_EQ(add(1, 11), STATUS_SUCCESS);
    platform::wait_for_pnp_idle();
    auto nodes = children();
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0]->instanceId, u"TEST\\Child\\1");
    EXPECT_EQ(nodes[0]->hardwareIds, std::vector<std::u16string>{u"TEST\\Child"});
    EXPECT_EQ(nodes[0]->state, platform::NodeState::Started);
    EXPECT_EQ(g_record.take(), (std::vector<std::string>{"create:1", "child-start:11"}));
    EXPECT_EQ(g_record.parentSeen, g_record.bus);
    EXPECT_EQ(property(nodes[0], DevicePropertyDeviceDescription), u"Test child");
    EXPECT_EQ(property(nodes[0], DevicePropertyLocationInformation), u"Slot");
    EXPECT_EQ(property(nodes[0], DevicePropertyHardwareID), std::u16string(u"TEST\\Child\0\0", 12));
}

// An equal child (same serial, another context) is refused with the informational status and
// changes nothing: the PDO keeps the context it was created with.
TEST_F(ChildListTest, AnEqualChildIsRefusedAndKeepsItsPdo) {
    ASSERT_EQ(add(1, 11), STATUS_SUCCESS);
    EXPECT_EQ(add(1, 22), STATUS_OBJECT_NAME_EXISTS);
    platform::wait_for_pnp_idle();
    EXPECT_EQ(add(1, 33), STATUS_OBJECT_NAME_EXISTS);
    platform::wait_for_pnp_idle();
    EXPECT_EQ(children().size(), 1u);
    EXPECT_EQ(g_record.take(), (std::vector<std::string>{"create:1", "child-start:11"}));
    // A description of another size is no description of this list.
    Description d{{sizeof(Description) - 1}, 2, 0, u"TEST\\Child"};
    EXPECT_EQ(WdfChildListAddOrUpdateChildDescriptionAsPresent(list_, &d.header, nullptr), STATUS_INVALID_PARAMETER);
}

// Marking missing while iterating takes effect when the iteration ends: the walk sees every
// present child, and only afterwards are the PDOs removed (function driver first, then the PDO).
TEST_F(ChildListTest, MissingDuringAnIterationTakesEffectAtItsEnd) {
    ASSERT_EQ(add(1, 11), STATUS_SUCCESS);
    ASSERT_EQ(add(2, 22), STATUS_SUCCESS);
    platform::wait_for_pnp_idle();
    ASSERT_EQ(children().size(), 2u);
    g_record.take();

    WDF_CHILD_LIST_ITERATOR iterator;
    WDF_CHILD_LIST_ITERATOR_INIT(&iterator, WdfRetrievePresentChildren);
    WdfChildListBeginIteration(list_, &iterator);
    std::vector<ULONG> walked;
    for (;;) {
        Description d{{sizeof(Description)}, 0, 0, nullptr};
        WDF_CHILD_RETRIEVE_INFO info;
        WDF_CHILD_RETRIEVE_INFO_INIT(&info, &d.header);
        WDFDEVICE device = nullptr;
        NTSTATUS status = WdfChildListRetrieveNextDevice(list_, &iterator, &device, &info);
        if (status == STATUS_NO_MORE_ENTRIES) break;
        ASSERT_EQ(status, STATUS_SUCCESS);
        EXPECT_NE(device, nullptr);
        walked.push_back(d.serial);
        EXPECT_EQ(WdfChildListUpdateChildDescriptionAsMissing(list_, &d.header), STATUS_SUCCESS);
    }
    platform::wait_for_pnp_idle();  // nothing may be reported while the iteration runs
    EXPECT_EQ(children().size(), 2u);
    WdfChildListEndIteration(list_, &iterator);
    platform::wait_for_pnp_idle();
    EXPECT_EQ(walked, (std::vector<ULONG>{1, 2}));
    EXPECT_TRUE(children().empty());
    auto events = g_record.take();
    EXPECT_EQ(events, (std::vector<std::string>{"child-stop", "pdo-cleanup:1/11", "child-stop", "pdo-cleanup:2/22"}));
    EXPECT_EQ(missing(1), STATUS_NO_SUCH_DEVICE);
}

// A description buffer of the wrong size is refused before anything is copied into it.
TEST_F(ChildListTest, RetrievalIntoABufferOfAnotherSizeIsRefused) {
    ASSERT_EQ(add(1, 11), STATUS_SUCCESS);
    WDF_CHILD_LIST_ITERATOR iterator;
    WDF_CHILD_LIST_ITERATOR_INIT(&iterator, WdfRetrieveAllChildren);
    WdfChildListBeginIteration(list_, &iterator);
    WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER small{sizeof(small)};
    WDF_CHILD_RETRIEVE_INFO info;
    WDF_CHILD_RETRIEVE_INFO_INIT(&info, &small);
    EXPECT_EQ(WdfChildListRetrieveNextDevice(list_, &iterator, nullptr, &info), STATUS_INVALID_PARAMETER);
    WdfChildListEndIteration(list_, &iterator);
}

// A child marked missing and added again before the enumeration ran is a new child: the old
// PDO (with its old context) goes and a new one is built from the new description.
TEST_F(ChildListTest, AChildReAddedBeforeEnumerationIsRebuiltWithTheNewDescription) {
    ASSERT_EQ(add(1, 11), STATUS_SUCCESS);
    platform::wait_for_pnp_idle();
    g_record.take();
    WDF_CHILD_LIST_ITERATOR iterator;
    WDF_CHILD_LIST_ITERATOR_INIT(&iterator, WdfRetrievePresentChildren);
    WdfChildListBeginIteration(list_, &iterator);  // holds the enumeration off
    EXPECT_EQ(missing(1), STATUS_SUCCESS);
    EXPECT_EQ(add(1, 44), STATUS_SUCCESS);
    WdfChildListEndIteration(list_, &iterator);
    platform::wait_for_pnp_idle();
    // The new PDO is built while the bus answers the enumeration; the old one goes before the new one starts.
    EXPECT_EQ(g_record.take(),
              (std::vector<std::string>{"create:1", "child-stop", "pdo-cleanup:1/11", "child-start:44"}));
    EXPECT_EQ(children().size(), 1u);
}

// A PDO that no driver matches stays present without one (as on Windows) and is removed cleanly.
TEST_F(ChildListTest, APdoWithoutADriverIsToleratedAndRemoved) {
    ASSERT_EQ(add(5, 55, u"TEST\\Nobody"), STATUS_SUCCESS);
    platform::wait_for_pnp_idle();
    auto nodes = children();
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0]->state, platform::NodeState::NoDriver);
    EXPECT_EQ(missing(5), STATUS_SUCCESS);
    platform::wait_for_pnp_idle();
    EXPECT_TRUE(children().empty());
    EXPECT_EQ(nodes[0]->state, platform::NodeState::Removed);
    EXPECT_EQ(g_record.take(), (std::vector<std::string>{"create:5", "pdo-cleanup:5/55"}));
}

// A create callback that fails leaves no child; the same description can be added again.
TEST_F(ChildListTest, AFailedCreationLeavesNoChild) {
    g_record.failCreate = STATUS_INSUFFICIENT_RESOURCES;
    ASSERT_EQ(add(1, 11), STATUS_SUCCESS);
    platform::wait_for_pnp_idle();
    EXPECT_TRUE(children().empty());
    g_record.failCreate = STATUS_SUCCESS;
    EXPECT_EQ(add(1, 11), STATUS_SUCCESS);
    platform::wait_for_pnp_idle();
    EXPECT_EQ(children().size(), 1u);
    EXPECT_EQ(g_record.take(), (std::vector<std::string>{"create:1", "create:1", "child-start:11"}));
}

// A PDO built while the bus answered an enumeration whose answer then could not be allocated
// was never taken by the PnP manager: the next enumeration reports it, and a bus that goes
// first deletes it itself (its clean-up runs before the bus's), so nothing is left over.
TEST_F(ChildListTest, APdoThePnpManagerNeverTookGoesWithItsBus) {
    platform::fault::inject("ExAllocatePoolWithTag", STATUS_INSUFFICIENT_RESOURCES, 0, 1);
    ASSERT_EQ(add(1, 11), STATUS_SUCCESS);
    platform::wait_for_pnp_idle();
    EXPECT_EQ(platform::fault::fired("ExAllocatePoolWithTag"), 1u);
    platform::fault::clear();
    EXPECT_TRUE(children().empty());
    EXPECT_EQ(g_record.take(), (std::vector<std::string>{"create:1"}));
    ASSERT_EQ(add(2, 22), STATUS_SUCCESS);  // the next enumeration reports both
    platform::wait_for_pnp_idle();
    EXPECT_EQ(children().size(), 2u);
    EXPECT_EQ(missing(1), STATUS_SUCCESS);
    EXPECT_EQ(missing(2), STATUS_SUCCESS);
    platform::wait_for_pnp_idle();
    g_record.take();

    platform::fault::inject("ExAllocatePoolWithTag", STATUS_INSUFFICIENT_RESOURCES, 0, 1);
    ASSERT_EQ(add(3, 33), STATUS_SUCCESS);
    platform::wait_for_pnp_idle();
    platform::fault::clear();
    machine_.pnp().remove(*bus_);
    EXPECT_EQ(g_record.take(), (std::vector<std::string>{"create:3", "pdo-cleanup:3/33", "bus-cleanup"}));
}

// Removing the bus removes its children first: their PDOs' clean-up runs before the bus's.
TEST_F(ChildListTest, TheBusRemovalRemovesItsChildrenFirst) {
    ASSERT_EQ(add(1, 11), STATUS_SUCCESS);
    platform::wait_for_pnp_idle();
    g_record.take();
    machine_.pnp().remove(*bus_);
    EXPECT_EQ(g_record.take(), (std::vector<std::string>{"child-stop", "pdo-cleanup:1/11", "bus-cleanup"}));
    machine_.workers().drain();  // a driver whose last device object went unloads on a system worker
    EXPECT_EQ(machine_.drivers().find("TestBus"), nullptr);
}

}  // namespace

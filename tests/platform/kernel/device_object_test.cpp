// Device objects: a driver's list of them decides when the driver may unload,
// and a deleted device object must stay in memory while anyone still holds a
// reference to it (the sanitizer build catches a free that comes too early).
#include <gtest/gtest.h>

#include <vector>

#include "platform/kernel/fault.h"
#include "platform/kernel/ntddk.h"
#include "support/rule_recorder.h"

namespace {

DRIVER_OBJECT MakeDriver() {
    DRIVER_OBJECT driver{};
    driver.Type = IO_TYPE_DRIVER;
    driver.Size = sizeof(DRIVER_OBJECT);
    return driver;
}

std::vector<DEVICE_OBJECT*> Listed(const DRIVER_OBJECT& driver) {
    std::vector<DEVICE_OBJECT*> devices;
    for (DEVICE_OBJECT* d = driver.DeviceObject; d != nullptr; d = d->NextDevice) devices.push_back(d);
    return devices;
}

// Creation lists each device on its driver; deleting one from the middle keeps the rest listed.
TEST(DeviceObjectTest, DriverListsItsDevicesUntilEachIsDeleted) {
    DRIVER_OBJECT driver = MakeDriver();
    DEVICE_OBJECT* devices[3] = {};
    for (DEVICE_OBJECT*& device : devices) {
        ASSERT_EQ(IoCreateDevice(&driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
        EXPECT_EQ(device->Type, IO_TYPE_DEVICE);
        EXPECT_EQ(device->DriverObject, &driver);
    }
    EXPECT_EQ(Listed(driver), (std::vector<DEVICE_OBJECT*>{devices[2], devices[1], devices[0]}));
    IoDeleteDevice(devices[1]);
    EXPECT_EQ(Listed(driver), (std::vector<DEVICE_OBJECT*>{devices[2], devices[0]}));
    IoDeleteDevice(devices[2]);
    IoDeleteDevice(devices[0]);
    EXPECT_EQ(driver.DeviceObject, nullptr) << "a driver with no devices left may unload";
}

// The extension is the driver's zeroed memory after the object, aligned as pool memory is.
TEST(DeviceObjectTest, ExtensionIsZeroedAndAligned) {
    DRIVER_OBJECT driver = MakeDriver();
    DEVICE_OBJECT* device = nullptr;
    constexpr ULONG kBytes = 100;
    ASSERT_EQ(IoCreateDevice(&driver, kBytes, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    auto* extension = static_cast<uint8_t*>(device->DeviceExtension);
    ASSERT_NE(extension, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(extension) % 16, 0u);
    for (ULONG i = 0; i < kBytes; ++i) ASSERT_EQ(extension[i], 0) << "byte " << i;
    extension[kBytes - 1] = 0xA5;  // the whole extension is the driver's to write
    IoDeleteDevice(device);
}

// A reference taken before the deletion (an open file's, say) keeps the
// object readable, and on its driver's list so that the driver stays loaded,
// until it is dropped.
TEST(DeviceObjectTest, DeletedDeviceLivesUntilItsLastReference) {
    DRIVER_OBJECT driver = MakeDriver();
    DEVICE_OBJECT* device = nullptr;
    ASSERT_EQ(IoCreateDevice(&driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    ObReferenceObject(device);
    ObReferenceObject(device);
    IoDeleteDevice(device);
    EXPECT_EQ(Listed(driver), std::vector<DEVICE_OBJECT*>{device}) << "referenced: its driver may not unload yet";
    EXPECT_TRUE(device->DeletePending);
    ObDereferenceObject(device);
    EXPECT_EQ(device->ReferenceCount, 1) << "still held, still there";
    ObDereferenceObject(device);  // the last reference frees it
    EXPECT_EQ(driver.DeviceObject, nullptr) << "and takes it off the list";
}

// Deleting a device twice and dropping more references than were taken are caught.
TEST(DeviceObjectTest, DoubleDeletionAndOverReleaseAreCaught) {
    vexa::test::RuleRecorder rules;
    DRIVER_OBJECT driver = MakeDriver();
    DEVICE_OBJECT* device = nullptr;
    ASSERT_EQ(IoCreateDevice(&driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    DEVICE_OBJECT* kept = nullptr;
    ASSERT_EQ(IoCreateDevice(&driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &kept), STATUS_SUCCESS);
    ObReferenceObject(device);
    IoDeleteDevice(device);
    IoDeleteDevice(device);
    EXPECT_EQ(rules.count(), 1u);
    ObDereferenceObject(device);
    ObDereferenceObject(kept);
    EXPECT_EQ(rules.count(), 2u);
    EXPECT_EQ(Listed(driver), (std::vector<DEVICE_OBJECT*>{kept}));
    kept->ReferenceCount = 0;
    IoDeleteDevice(kept);
}

// Refusals: a name (named device objects are not modelled), no driver, and an injected fault.
TEST(DeviceObjectTest, CreationRefusesWhatItCannotServe) {
    DRIVER_OBJECT driver = MakeDriver();
    DEVICE_OBJECT* device = nullptr;
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\Named");
    EXPECT_EQ(IoCreateDevice(&driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IoCreateDevice(nullptr, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_INVALID_PARAMETER);
    platform::fault::inject("IoCreateDevice", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(IoCreateDevice(&driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_INSUFFICIENT_RESOURCES);
    platform::fault::clear();
    EXPECT_EQ(driver.DeviceObject, nullptr) << "a refused creation lists nothing";
}

}  // namespace

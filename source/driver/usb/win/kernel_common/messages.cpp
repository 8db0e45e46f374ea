// The message table resource of the driver image. The event log reads it from
// the image file; every text ends with a carriage return and line feed.
#include "messages.h"
#include "platform/kernel/message_resource.h"

namespace {

VEXA_MESSAGE_TABLE_SECTION const platform::MessageResourceEntry kMessageTable[kMessageCount] = {
    {MSG_CREATE_CHILD_FAILED, "Failed to create child.\r\n"},
    {MSG_CREATE_ROOT_DEVICE_FAILED, "Failed to create root device.\r\n"},
    {MSG_CREATE_DEVICE_INTERFACE_FAILED, "Driver failed while creating device interface.\r\n"},
    {MSG_CREATE_QUEUE_FAILED, "Driver failed to create queue.\r\n"},
    {MSG_PAL_CLIENT_MANAGER_INIT_FAILED, "Driver failed to initialize PAL client manager.\r\n"},
    {MSG_AUDIO_CLIENT_MANAGER_INIT_FAILED, "Driver failed to initialize audio client manager.\r\n"},
    {MSG_AUDIO_ENGINE_INIT_FAILED, "Driver failed to initialize audio engine.\r\n"},
    {MSG_QUEUE_REQUEST_FAILED, "Driver failed while queuing a request.\r\n"},
    {MSG_CHILD_NOT_UNIQUE, "Driver is not creating child because it is not unique.\r\n"},
    {MSG_INVALID_MIDI_PORT, "Invalid MIDI port number has been passed to driver.\r\n"},
    {MSG_NO_DEVICE_FOUND, "No Device found.\r\n"},
    {MSG_NO_SAMPLE_RATE_SUPPORTED, "No sample rate supported by this device.\r\n"},
    {MSG_INTERFACE_CHANGE_NOTIFY_FAILED, "Driver failed to notify interface change with status %2.\r\n"},
    {MSG_DCP_NOTIFICATION_FAILED, "Driver failed to process DCP notification.\r\n"},
    {MSG_REGISTRY_OPEN_FAILED, "Driver failed to open registry.\r\n"},
    {MSG_REGISTRY_READ_FAILED, "Driver failed to read from registry.\r\n"},
    {MSG_REGISTRY_WRITE_FAILED, "Driver failed to write into registry\r\n"},
    {MSG_ASIO_CLIENT_INIT_FAILED, "Driver failed to initialize ASIO client.\r\n"},
    {MSG_ASIO_BUFFER_SIZE_OUT_OF_RANGE, "ASIO buffer size is not in range.\r\n"},
    {MSG_ROOT_DEVICE_LOAD_FAILED, "Driver failed to load root device.\r\n"},
    {MSG_NULL_POINTER, "Driver received a NULL pointer.\r\n"},
    {MSG_NO_CHANNELS, "Device does not have any channels.\r\n"},
    {MSG_SAMPLE_RATE_NOT_SUPPORTED, "Device does not support this sample rate.\r\n"},
    {MSG_DRIVER_CONNECTION_FAILED, "Failure occured while opening connection to driver.\r\n"},
    {MSG_LOW_SPEED_NOT_SUPPORTED, "Driver does not work with low speed devices.\r\n"},
    {MSG_USB_DEVICE_LOAD_FAILED, "Driver failed to load USB device.\r\n"},
    {MSG_HARDWARE_COMMUNICATION_FAILED, "Driver failed while communicating with hardware.\r\n"},
    {MSG_STREAMING_FAILED, "Driver failed while streaming.\r\n"},
    {MSG_USB_DRIVER_LOAD_FAILED, "Failure while loading USB device driver.\r\n"},
    {MSG_NOT_ENOUGH_BANDWIDTH, "System does not have enough bandwidth available for this device.\r\n"},
    {MSG_WDM_DRIVER_LOAD_FAILED, "Failure while loading driver for WDM device.\r\n"},
    {MSG_WDM_DEVICE_ADD_FAILED, "Failure while adding WDM device.\r\n"},
    {MSG_WDM_API_VERSION_MISMATCH, "Failure while matching WDM driver API version.\r\n"},
    {MSG_WDM_DEVICE_START_FAILED, "Failure while starting WDM device.\r\n"},
    {MSG_MIDI_DRIVER_LOAD_FAILED, "Failure while loading driver for MIDI device.\r\n"},
    {MSG_MIDI_DEVICE_ADD_FAILED, "Failure while adding MIDI device.\r\n"},
    {MSG_MIDI_API_VERSION_MISMATCH, "Failure while matching MIDI driver API version.\r\n"},
    {MSG_MIDI_DEVICE_START_FAILED, "Failure while starting MIDI device.\r\n"},
};

}  // namespace

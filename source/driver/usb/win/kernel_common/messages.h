// The drivers' event-log message ids (severity error, facility 6). Both
// driver images carry the same message table (messages.cpp).
#pragma once

#include <cstdint>

inline constexpr uint32_t MSG_CREATE_CHILD_FAILED = 0xC0060001;
inline constexpr uint32_t MSG_CREATE_ROOT_DEVICE_FAILED = 0xC0060002;
inline constexpr uint32_t MSG_CREATE_DEVICE_INTERFACE_FAILED = 0xC0060003;
inline constexpr uint32_t MSG_CREATE_QUEUE_FAILED = 0xC0060004;
inline constexpr uint32_t MSG_PAL_CLIENT_MANAGER_INIT_FAILED = 0xC0060005;
inline constexpr uint32_t MSG_AUDIO_CLIENT_MANAGER_INIT_FAILED = 0xC0060006;
inline constexpr uint32_t MSG_AUDIO_ENGINE_INIT_FAILED = 0xC0060007;
inline constexpr uint32_t MSG_QUEUE_REQUEST_FAILED = 0xC0060008;
inline constexpr uint32_t MSG_CHILD_NOT_UNIQUE = 0xC0060009;
inline constexpr uint32_t MSG_INVALID_MIDI_PORT = 0xC006000A;
inline constexpr uint32_t MSG_NO_DEVICE_FOUND = 0xC006000B;
inline constexpr uint32_t MSG_NO_SAMPLE_RATE_SUPPORTED = 0xC006000C;
inline constexpr uint32_t MSG_INTERFACE_CHANGE_NOTIFY_FAILED = 0xC006000D;
inline constexpr uint32_t MSG_DCP_NOTIFICATION_FAILED = 0xC006000E;
inline constexpr uint32_t MSG_REGISTRY_OPEN_FAILED = 0xC006000F;
inline constexpr uint32_t MSG_REGISTRY_READ_FAILED = 0xC0060010;
inline constexpr uint32_t MSG_REGISTRY_WRITE_FAILED = 0xC0060011;
inline constexpr uint32_t MSG_ASIO_CLIENT_INIT_FAILED = 0xC0060012;
inline constexpr uint32_t MSG_ASIO_BUFFER_SIZE_OUT_OF_RANGE = 0xC0060013;
inline constexpr uint32_t MSG_ROOT_DEVICE_LOAD_FAILED = 0xC0060014;
inline constexpr uint32_t MSG_NULL_POINTER = 0xC0060015;
inline constexpr uint32_t MSG_NO_CHANNELS = 0xC0060016;
inline constexpr uint32_t MSG_SAMPLE_RATE_NOT_SUPPORTED = 0xC0060017;
inline constexpr uint32_t MSG_DRIVER_CONNECTION_FAILED = 0xC0060018;
inline constexpr uint32_t MSG_LOW_SPEED_NOT_SUPPORTED = 0xC0060019;
inline constexpr uint32_t MSG_USB_DEVICE_LOAD_FAILED = 0xC0060020;
inline constexpr uint32_t MSG_HARDWARE_COMMUNICATION_FAILED = 0xC0060021;
inline constexpr uint32_t MSG_STREAMING_FAILED = 0xC0060022;
inline constexpr uint32_t MSG_USB_DRIVER_LOAD_FAILED = 0xC0060023;
inline constexpr uint32_t MSG_NOT_ENOUGH_BANDWIDTH = 0xC0060024;
inline constexpr uint32_t MSG_WDM_DRIVER_LOAD_FAILED = 0xC0060025;
inline constexpr uint32_t MSG_WDM_DEVICE_ADD_FAILED = 0xC0060026;
inline constexpr uint32_t MSG_WDM_API_VERSION_MISMATCH = 0xC0060027;
inline constexpr uint32_t MSG_WDM_DEVICE_START_FAILED = 0xC0060028;
inline constexpr uint32_t MSG_MIDI_DRIVER_LOAD_FAILED = 0xC0060029;
inline constexpr uint32_t MSG_MIDI_DEVICE_ADD_FAILED = 0xC0060030;
inline constexpr uint32_t MSG_MIDI_API_VERSION_MISMATCH = 0xC0060031;
inline constexpr uint32_t MSG_MIDI_DEVICE_START_FAILED = 0xC0060032;

inline constexpr unsigned kMessageCount = 38;

// Major function codes the drivers name in their entries.
inline constexpr uint8_t kMajorPnp = 0x1B;
inline constexpr uint8_t kMajorDeviceControl = 0x0E;
inline constexpr uint8_t kMajorInternalDeviceControl = 0x0F;

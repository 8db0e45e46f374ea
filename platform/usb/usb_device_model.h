// What a simulated USB device offers the host side: its descriptors, strings
// and answers to control requests. Standard requests (descriptors, strings,
// configuration and interface selection) are served by the host from the
// descriptors; the device sees the selections and every class or vendor
// request. Devices live in platform/device.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/kernel/ntstatus.h"
#include "usb_types.h"

namespace platform::usb {

struct ControlResult {
    NTSTATUS status = STATUS_SUCCESS;  // STATUS_SUCCESS, kStall, STATUS_IO_TIMEOUT or STATUS_NO_SUCH_DEVICE
    ULONG bytes = 0;                   // bytes moved in the data stage
};

// A request the device refuses with a STALL handshake.
inline constexpr NTSTATUS kStall = STATUS_UNSUCCESSFUL;

class UsbDeviceModel {
public:
    virtual ~UsbDeviceModel() = default;

    virtual const USB_DEVICE_DESCRIPTOR& device_descriptor() const = 0;
    virtual const std::vector<uint8_t>& configuration_descriptor() const = 0;
    virtual UsbSpeed speed() const { return UsbSpeed::High; }
    // String descriptor text for `index` in `language`; nothing when the device has none.
    virtual std::optional<std::u16string> string(UCHAR index, USHORT language) const = 0;

    // A class or vendor request. `data` holds wLength bytes: the host's data
    // for OUT requests, the device fills it for IN requests.
    virtual ControlResult control(const WDF_USB_CONTROL_SETUP_PACKET& setup, uint8_t* data) = 0;

    // The host selected a configuration (all interfaces at setting 0) or one
    // interface's alternate setting. A failure refuses the selection.
    virtual NTSTATUS set_configuration(UCHAR configurationValue) = 0;
    virtual NTSTATUS set_interface(UCHAR interfaceNumber, UCHAR alternateSetting) = 0;

    // One transfer's worth of data the device has for an interrupt or bulk IN
    // endpoint now (at most `maxBytes`); nothing when it has none (a NAK).
    virtual std::optional<std::vector<uint8_t>> read_in(UCHAR endpointAddress, ULONG maxBytes) {
        (void)endpointAddress;
        (void)maxBytes;
        return std::nullopt;
    }
    // One microframe of an isochronous stream: the host's OUT packet, or the
    // device's IN packet (the bytes it put into `data`, at most `maxBytes`).
    virtual void iso_out(UCHAR endpointAddress, uint64_t frame, unsigned microframe, const uint8_t* data, ULONG bytes) {
        (void)endpointAddress;
        (void)frame;
        (void)microframe;
        (void)data;
        (void)bytes;
    }
    virtual ULONG iso_in(UCHAR endpointAddress, uint64_t frame, unsigned microframe, uint8_t* data, ULONG maxBytes) {
        (void)endpointAddress;
        (void)frame;
        (void)microframe;
        (void)data;
        (void)maxBytes;
        return 0;
    }
    // One isochronous packet of a frame as the bus carries it. OUT: `bytes`
    // the host sent at `data`. IN: `bytes` the room at `data` on the way in,
    // the bytes the device put there on the way out.
    struct IsoPacket {
        UCHAR endpointAddress;
        unsigned microframe;
        uint8_t* data;
        ULONG bytes;
    };
    // Every isochronous packet of one frame, in bus order (microframe by
    // microframe, OUT before IN). By default each goes to iso_out or iso_in;
    // a device may take the frame in one go, under one lock.
    virtual void iso_frame(uint64_t frame, IsoPacket* packets, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            IsoPacket& packet = packets[i];
            if ((packet.endpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0) {
                packet.bytes = iso_in(packet.endpointAddress, frame, packet.microframe, packet.data, packet.bytes);
            } else {
                iso_out(packet.endpointAddress, frame, packet.microframe, packet.data, packet.bytes);
            }
        }
    }
    // A device that says when it has data for an interrupt or bulk IN
    // endpoint (announce_in) lets an idle bus sleep; one that does not is
    // polled every frame while the host reads from it.
    virtual bool announces_in() const { return false; }
    // The host's ear for those announcements (set while the device is plugged in).
    void set_in_listener(std::function<void()> listener) {
        std::lock_guard lock(inListenerLock_);
        inListener_ = std::move(listener);
    }

    // Data the host sends to an interrupt or bulk OUT endpoint.
    virtual NTSTATUS write_out(UCHAR endpointAddress, const uint8_t* data, ULONG bytes) {
        (void)endpointAddress;
        (void)data;
        (void)bytes;
        return kStall;
    }

protected:
    // Tells the host that an IN endpoint has data (any thread, any lock of the device's held).
    void announce_in() {
        std::lock_guard lock(inListenerLock_);
        if (inListener_) inListener_();
    }

private:
    std::mutex inListenerLock_;
    std::function<void()> inListener_;  // guarded by inListenerLock_
};

// A control request the device never answers: the host gives up at the request's timeout.
inline constexpr NTSTATUS kNoAnswer = STATUS_PENDING;

}  // namespace platform::usb

// The framework's USB target objects behind WDFUSBDEVICE, WDFUSBINTERFACE
// and WDFUSBPIPE handles.
#pragma once

#include <mutex>
#include <vector>

#include <optional>

#include "platform/kernel/clock.h"
#include "platform/kmdf/fx_io_target.h"
#include "usb_port.h"
#include "wdf_usb.h"

namespace platform::usb {

class FxUsbDevice;
class FxUsbInterface;
class HostController;

// A configured pipe; also its own I/O target.
class FxUsbPipe : public kmdf::FxIoTarget {
public:
    static constexpr kmdf::FxType kType = kmdf::FxType::UsbPipe;

    FxUsbPipe(FxUsbInterface* owner, const USB_ENDPOINT_DESCRIPTOR& endpoint, UCHAR settingIndex);

    const WDF_USB_PIPE_INFORMATION& information() const { return information_; }
    const USB_ENDPOINT_DESCRIPTOR& endpoint() const { return endpoint_; }
    FxUsbInterface* owner() const { return owner_; }
    UsbPort& port() { return *port_; }
    bool is_in() const { return (endpoint_.bEndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0; }

    NTSTATUS configure_reader(const WDF_USB_CONTINUOUS_READER_CONFIG& config);
    bool has_reader() const { return reader_.has_value(); }
    // What a frame's reading came to: something read (the device may have
    // more for the next frame), nothing because the device had nothing (or
    // the reader has stopped for good), or nothing because the reader could
    // not ask (its target not started, or it failed and may be restarted).
    enum class ReaderFrame { Read, Empty, NotAsked };
    // Runs the reader for one frame: up to its pending reads, each completed
    // at DISPATCH_LEVEL on the calling thread.
    ReaderFrame run_reader();

    bool cancel(kmdf::FxTargetRequest* request) override;

protected:
    void on_started() override;
    void on_stopping(WDF_IO_TARGET_SENT_IO_ACTION action) override;
    NTSTATUS start_request(kmdf::FxTargetRequest* request) override;
    void dispose() override;

private:
    struct Reader {
        WDF_USB_CONTINUOUS_READER_CONFIG config;
        WDFMEMORY buffer;       // reused by every read; the framework's, not the driver's
        bool failed = false;    // stopped after a failure the driver did not restart
    };

    // Tells the driver its reads failed; the reader stops unless the driver restarts it.
    [[gnu::cold, gnu::noinline]] void reader_failed(NTSTATUS failure);

    FxUsbInterface* owner_;
    // Found once: every transfer goes to the machine's host controller, and
    // asks the device's port (which the device object keeps for longer than its pipes).
    HostController* host_;
    UsbPort* port_;
    USB_ENDPOINT_DESCRIPTOR endpoint_;
    WDF_USB_PIPE_INFORMATION information_{};
    std::optional<Reader> reader_;  // set once, before the reader first runs
};

class FxUsbInterface : public kmdf::FxObject {
public:
    static constexpr kmdf::FxType kType = kmdf::FxType::UsbInterface;

    FxUsbInterface(FxUsbDevice* device, UCHAR number, std::vector<size_t> settingOffsets);

    UCHAR setting_count() const { return static_cast<UCHAR>(settings_.size()); }
    UCHAR configured_setting() const;
    const USB_INTERFACE_DESCRIPTOR* setting(UCHAR index) const;
    std::vector<FxUsbPipe*> pipes() const;
    FxUsbDevice* device() const { return device_; }

    // Makes `index` the configured setting (the device is told unless `quiet`)
    // and builds that setting's pipes anew.
    NTSTATUS configure(UCHAR index, bool tellDevice);

private:
    FxUsbDevice* device_;
    UCHAR number_;
    std::vector<size_t> settings_;  // offsets of the setting descriptors in the configuration
    mutable std::mutex lock_;
    UCHAR configured_ = 0;           // guarded by lock_
    std::vector<FxUsbPipe*> pipes_;  // guarded by lock_
};

class FxUsbDevice : public kmdf::FxObject {
public:
    static constexpr kmdf::FxType kType = kmdf::FxType::UsbDevice;

    FxUsbDevice(std::shared_ptr<UsbPort> port);

    UsbPort& port() { return *port_; }
    const USB_DEVICE_DESCRIPTOR& device_descriptor() const { return deviceDescriptor_; }
    const std::vector<uint8_t>& configuration() const { return configuration_; }
    const std::vector<FxUsbInterface*>& interfaces() const { return interfaces_; }
    bool connected() const { return port_->connected(); }
    // The bus frame now (the machine's clock, found once: drivers ask every transfer).
    uint64_t frame() const { return clock_->frame(); }

    // Builds the interface objects from the configuration descriptor.
    NTSTATUS build_interfaces();

private:
    std::shared_ptr<UsbPort> port_;
    Clock* clock_;
    USB_DEVICE_DESCRIPTOR deviceDescriptor_;
    std::vector<uint8_t> configuration_;
    std::vector<FxUsbInterface*> interfaces_;  // children, fixed after build_interfaces
};

}  // namespace platform::usb

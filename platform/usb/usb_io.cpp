// Transfers on the USB target: control requests, string descriptors,
// alternate settings, pipe aborts and continuous readers.
#include "fx_usb.h"
#include "host_controller.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/rules.h"
#include "platform/kmdf/fx_callback.h"
#include "platform/kmdf/fx_target_request.h"
#include "platform/kmdf/wdf_memory.h"
#include "platform/machine/machine.h"

namespace platform::usb {

namespace {

constexpr LONGLONG kDefaultControlTimeout = -static_cast<LONGLONG>(Seconds(5));
constexpr UCHAR kStringDescriptor = 3;

// Waits out a request the device does not answer, as a synchronous send does.
NTSTATUS WaitForTimeout(const WDF_REQUEST_SEND_OPTIONS* options) {
    LARGE_INTEGER interval;
    interval.QuadPart = options != nullptr && (options->Flags & WDF_REQUEST_SEND_OPTION_TIMEOUT) && options->Timeout != 0
                            ? options->Timeout
                            : kDefaultControlTimeout;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    return STATUS_IO_TIMEOUT;
}

bool DescriptorBuffer(WDF_MEMORY_DESCRIPTOR* descriptor, uint8_t** buffer, ULONG* length) {
    *buffer = nullptr;
    *length = 0;
    if (descriptor == nullptr) return true;
    if (descriptor->Type == WdfMemoryDescriptorTypeBuffer) {
        *buffer = static_cast<uint8_t*>(descriptor->u.BufferType.Buffer);
        *length = descriptor->u.BufferType.Length;
        return true;
    }
    if (descriptor->Type == WdfMemoryDescriptorTypeHandle) {
        size_t bytes = 0;
        *buffer = static_cast<uint8_t*>(WdfMemoryGetBuffer(descriptor->u.HandleType.Memory, &bytes));
        *length = static_cast<ULONG>(bytes);
        return *buffer != nullptr;
    }
    return false;
}

}  // namespace

NTSTATUS FxUsbPipe::configure_reader(const WDF_USB_CONTINUOUS_READER_CONFIG& config) {
    if (reader_.has_value()) return STATUS_INVALID_DEVICE_STATE;
    auto type = information_.PipeType;
    if (!is_in() || (type != WdfUsbPipeTypeInterrupt && type != WdfUsbPipeTypeBulk)) return STATUS_INVALID_DEVICE_REQUEST;
    if (config.EvtUsbTargetPipeReadComplete == nullptr || config.TransferLength == 0) return STATUS_INVALID_PARAMETER;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = handle();
    WDFMEMORY buffer = nullptr;
    size_t bytes = config.HeaderLength + config.TransferLength + config.TrailerLength;
    NTSTATUS status = WdfMemoryCreate(&attributes, NonPagedPoolNx, 0x64616552 /* "Read" */, bytes, &buffer, nullptr);
    if (!NT_SUCCESS(status)) return status;
    // The reader starts with the next start of the pipe's target.
    stop(WdfIoTargetCancelSentIo);
    reader_ = Reader{config, buffer, false};
    return STATUS_SUCCESS;
}

void FxUsbPipe::on_started() {
    if (reader_.has_value()) {
        reader_->failed = false;
        HostController::get().add_reader(this);
    }
}

void FxUsbPipe::on_stopping(WDF_IO_TARGET_SENT_IO_ACTION action) {
    if (reader_.has_value()) HostController::get().remove_reader(this);
    if (action == WdfIoTargetCancelSentIo) HostController::get().cancel_pipe(this);
}

void FxUsbPipe::dispose() {
    if (reader_.has_value()) HostController::get().remove_reader(this);
    FxIoTarget::dispose();
    HostController::get().cancel_pipe(this);
}

FxUsbPipe::ReaderFrame FxUsbPipe::run_reader() {
    if (!reader_.has_value() || reader_->failed) return ReaderFrame::Empty;
    if (!begin_io()) return ReaderFrame::NotAsked;
    ReaderFrame result = ReaderFrame::NotAsked;
    Reader& reader = *reader_;
    unsigned reads = reader.config.NumPendingReads != 0 ? reader.config.NumPendingReads
                                                         : WDF_USB_CONTINUOUS_READER_DEFAULT_READS;
    for (unsigned i = 0; i < reads && !reader.failed && started(); ++i) {
        if (!port_->connected()) [[unlikely]] {
            reader_failed(STATUS_NO_SUCH_DEVICE);
            break;
        }
        if (auto status = fault::hit("ContinuousRead")) [[unlikely]] {
            reader_failed(*status);
            break;
        }
        auto data = port_->model().read_in(endpoint_.bEndpointAddress, static_cast<ULONG>(reader.config.TransferLength));
        if (!data.has_value()) {
            if (i == 0) result = ReaderFrame::Empty;
            break;
        }
        result = ReaderFrame::Read;
        size_t bytes = 0;
        auto* buffer = static_cast<uint8_t*>(WdfMemoryGetBuffer(reader.buffer, &bytes));
        size_t length = std::min(data->size(), reader.config.TransferLength);
        // A zero-length transfer has no data to copy (and an empty vector no buffer).
        if (length != 0) std::memcpy(buffer + reader.config.HeaderLength, data->data(), length);
        kmdf::CallDriver("EvtUsbTargetPipeReadComplete", [&] {
            reader.config.EvtUsbTargetPipeReadComplete(as_handle<WDFUSBPIPE>(), reader.buffer, length,
                                                       reader.config.EvtUsbTargetPipeReadCompleteContext);
        });
    }
    end_io();
    return result;
}

void FxUsbPipe::reader_failed(NTSTATUS failure) {
    Reader& reader = *reader_;
    USBD_STATUS usbd = failure == STATUS_NO_SUCH_DEVICE ? USBD_STATUS_DEVICE_GONE : USBD_STATUS_STALL_PID;
    bool restart = reader.config.EvtUsbTargetPipeReadersFailed != nullptr &&
                   kmdf::CallDriver("EvtUsbTargetPipeReadersFailed", [&] {
                       return reader.config.EvtUsbTargetPipeReadersFailed(as_handle<WDFUSBPIPE>(), failure, usbd);
                   });
    // A device that is gone cannot be restarted: stop asking.
    reader.failed = !restart || !port_->connected();
}

}  // namespace platform::usb

using namespace platform::usb;

NTSTATUS WdfUsbTargetDeviceSendControlTransferSynchronously(WDFUSBDEVICE usbDevice, WDFREQUEST,
                                                            WDF_REQUEST_SEND_OPTIONS* options,
                                                            WDF_USB_CONTROL_SETUP_PACKET* setupPacket,
                                                            WDF_MEMORY_DESCRIPTOR* memoryDescriptor,
                                                            ULONG* bytesTransferred) {
    platform::require_passive("WdfUsbTargetDeviceSendControlTransferSynchronously");
    FxUsbDevice* fx = platform::kmdf::object_of<FxUsbDevice>(usbDevice, "WdfUsbTargetDeviceSendControlTransferSynchronously");
    if (fx == nullptr || setupPacket == nullptr) return STATUS_INVALID_PARAMETER;
    uint8_t* buffer = nullptr;
    ULONG length = 0;
    if (!DescriptorBuffer(memoryDescriptor, &buffer, &length) || length > 0xFFFF) return STATUS_INVALID_PARAMETER;
    if (bytesTransferred != nullptr) *bytesTransferred = 0;
    if (auto status = platform::fault::hit("WdfUsbTargetDeviceSendControlTransferSynchronously")) return *status;
    if (!fx->connected()) return STATUS_NO_SUCH_DEVICE;

    WDF_USB_CONTROL_SETUP_PACKET setup = *setupPacket;
    setup.wLength = static_cast<USHORT>(length);
    std::vector<uint8_t> data(length);
    bool in = (setup.bmRequestType & 0x80) != 0;
    if (!in && length != 0) std::memcpy(data.data(), buffer, length);
    ControlResult result = fx->port().model().control(setup, data.data());
    if (result.status == kNoAnswer) return WaitForTimeout(options);
    if (!NT_SUCCESS(result.status)) return result.status;
    ULONG moved = std::min(result.bytes, length);
    if (in && moved != 0) std::memcpy(buffer, data.data(), moved);
    if (bytesTransferred != nullptr) *bytesTransferred = moved;
    return STATUS_SUCCESS;
}

NTSTATUS WdfUsbTargetDeviceQueryString(WDFUSBDEVICE usbDevice, WDFREQUEST, WDF_REQUEST_SEND_OPTIONS*, WCHAR* string,
                                       USHORT* numCharacters, UCHAR stringIndex, USHORT languageId) {
    platform::require_passive("WdfUsbTargetDeviceQueryString");
    FxUsbDevice* fx = platform::kmdf::object_of<FxUsbDevice>(usbDevice, "WdfUsbTargetDeviceQueryString");
    if (fx == nullptr || numCharacters == nullptr) return STATUS_INVALID_PARAMETER;
    if (auto status = platform::fault::hit("WdfUsbTargetDeviceQueryString")) return *status;
    if (!fx->connected()) return STATUS_NO_SUCH_DEVICE;
    if (stringIndex == 0) return STATUS_INVALID_PARAMETER;  // index 0 is the language table, not a string
    auto text = fx->port().model().string(stringIndex, languageId);
    if (!text.has_value()) return STATUS_UNSUCCESSFUL;        // the device stalls the request
    (void)kStringDescriptor;
    auto length = static_cast<USHORT>(text->size());
    if (string == nullptr) {
        *numCharacters = length;
        return STATUS_SUCCESS;
    }
    USHORT copy = std::min(*numCharacters, length);
    std::memcpy(string, text->data(), copy * sizeof(WCHAR));
    NTSTATUS status = *numCharacters < length ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    *numCharacters = length;
    return status;
}

NTSTATUS WdfUsbInterfaceSelectSetting(WDFUSBINTERFACE usbInterface, PWDF_OBJECT_ATTRIBUTES,
                                      WDF_USB_INTERFACE_SELECT_SETTING_PARAMS* params) {
    platform::require_passive("WdfUsbInterfaceSelectSetting");
    FxUsbInterface* fx = platform::kmdf::object_of<FxUsbInterface>(usbInterface, "WdfUsbInterfaceSelectSetting");
    if (fx == nullptr || params == nullptr || params->Size != sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS) ||
        params->Type != WdfUsbInterfaceSelectSettingTypeSetting) {
        return STATUS_INVALID_PARAMETER;
    }
    if (auto status = platform::fault::hit("WdfUsbInterfaceSelectSetting")) return *status;
    return fx->configure(params->Types.Interface.SettingIndex, true);
}

WDFIOTARGET WdfUsbTargetPipeGetIoTarget(WDFUSBPIPE pipe) {
    FxUsbPipe* fx = platform::kmdf::object_of<FxUsbPipe>(pipe, "WdfUsbTargetPipeGetIoTarget");
    return fx == nullptr ? nullptr : fx->as_handle<WDFIOTARGET>();
}

NTSTATUS WdfUsbTargetPipeAbortSynchronously(WDFUSBPIPE pipe, WDFREQUEST, WDF_REQUEST_SEND_OPTIONS*) {
    platform::require_passive("WdfUsbTargetPipeAbortSynchronously");
    FxUsbPipe* fx = platform::kmdf::object_of<FxUsbPipe>(pipe, "WdfUsbTargetPipeAbortSynchronously");
    if (fx == nullptr) return STATUS_INVALID_PARAMETER;
    if (auto status = platform::fault::hit("WdfUsbTargetPipeAbortSynchronously")) return *status;
    HostController::get().cancel_pipe(fx);
    return fx->port().connected() ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
}

NTSTATUS WdfUsbTargetPipeConfigContinuousReader(WDFUSBPIPE pipe, WDF_USB_CONTINUOUS_READER_CONFIG* config) {
    platform::require_passive("WdfUsbTargetPipeConfigContinuousReader");
    FxUsbPipe* fx = platform::kmdf::object_of<FxUsbPipe>(pipe, "WdfUsbTargetPipeConfigContinuousReader");
    if (fx == nullptr || config == nullptr || config->Size != sizeof(WDF_USB_CONTINUOUS_READER_CONFIG)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (auto status = platform::fault::hit("WdfUsbTargetPipeConfigContinuousReader")) return *status;
    return fx->configure_reader(*config);
}

namespace platform::usb {

NTSTATUS FxUsbPipe::start_request(kmdf::FxTargetRequest* request) {
    if (request->format().target != this) return STATUS_INVALID_DEVICE_REQUEST;
    if (!port().connected()) return STATUS_NO_SUCH_DEVICE;
    return host_->submit(this, request);
}

bool FxUsbPipe::cancel(kmdf::FxTargetRequest* request) {
    return HostController::get().cancel_request(request) || FxIoTarget::cancel(request);
}

}  // namespace platform::usb

namespace {

platform::kmdf::FxTargetRequest* TargetRequest(WDFREQUEST request, const char* call) {
    return platform::kmdf::object_of<platform::kmdf::FxTargetRequest>(request, call);
}

}  // namespace

NTSTATUS WdfUsbTargetDeviceCreateIsochUrb(WDFUSBDEVICE usbDevice, PWDF_OBJECT_ATTRIBUTES attributes, ULONG packets,
                                          WDFMEMORY* urbMemory, PURB* urb) {
    FxUsbDevice* fx = platform::kmdf::object_of<FxUsbDevice>(usbDevice, "WdfUsbTargetDeviceCreateIsochUrb");
    if (fx == nullptr || urbMemory == nullptr || urb == nullptr || packets == 0 || packets > USBD_ISO_PACKETS_MAX) {
        return STATUS_INVALID_PARAMETER;
    }
    if (auto status = platform::fault::hit("WdfUsbTargetDeviceCreateIsochUrb")) return *status;
    PVOID buffer = nullptr;
    size_t bytes = GET_ISO_URB_SIZE(packets);
    NTSTATUS status = WdfMemoryCreate(attributes, NonPagedPoolNx, 0x62725544 /* "DUrb" */, bytes, urbMemory, &buffer);
    if (!NT_SUCCESS(status)) return status;
    std::memset(buffer, 0, bytes);
    *urb = static_cast<PURB>(buffer);
    return STATUS_SUCCESS;
}

NTSTATUS WdfUsbTargetDeviceRetrieveCurrentFrameNumber(WDFUSBDEVICE usbDevice, ULONG* frameNumber) {
    FxUsbDevice* fx = platform::kmdf::object_of<FxUsbDevice>(usbDevice, "WdfUsbTargetDeviceRetrieveCurrentFrameNumber");
    if (fx == nullptr || frameNumber == nullptr) return STATUS_INVALID_PARAMETER;
    if (!fx->connected()) return STATUS_NO_SUCH_DEVICE;
    *frameNumber = static_cast<ULONG>(fx->frame());
    return STATUS_SUCCESS;
}

USBD_PIPE_HANDLE WdfUsbTargetPipeWdmGetPipeHandle(WDFUSBPIPE pipe) {
    FxUsbPipe* fx = platform::kmdf::object_of<FxUsbPipe>(pipe, "WdfUsbTargetPipeWdmGetPipeHandle");
    return fx;  // the pipe object stands for the stack's handle
}

NTSTATUS WdfUsbTargetPipeFormatRequestForUrb(WDFUSBPIPE pipe, WDFREQUEST request, WDFMEMORY urbMemory,
                                             WDFMEMORY_OFFSET* urbOffset) {
    FxUsbPipe* fx = platform::kmdf::object_of<FxUsbPipe>(pipe, "WdfUsbTargetPipeFormatRequestForUrb");
    auto* fxRequest = TargetRequest(request, "WdfUsbTargetPipeFormatRequestForUrb");
    if (fx == nullptr || fxRequest == nullptr || urbMemory == nullptr) return STATUS_INVALID_PARAMETER;
    size_t bytes = 0;
    auto* base = static_cast<uint8_t*>(WdfMemoryGetBuffer(urbMemory, &bytes));
    size_t offset = urbOffset != nullptr ? urbOffset->BufferOffset : 0;
    if (base == nullptr || offset + sizeof(URB_HEADER) > bytes) return STATUS_INVALID_PARAMETER;
    platform::kmdf::RequestFormat format;
    format.kind = platform::kmdf::RequestFormat::Kind::Urb;
    format.target = fx;
    format.urb = base + offset;
    format.memory = urbMemory;
    format.offset = offset;
    format.length = bytes - offset;
    fxRequest->set_format(format);
    return STATUS_SUCCESS;
}

NTSTATUS WdfUsbTargetPipeFormatRequestForWrite(WDFUSBPIPE pipe, WDFREQUEST request, WDFMEMORY writeMemory,
                                               WDFMEMORY_OFFSET* writeOffset) {
    FxUsbPipe* fx = platform::kmdf::object_of<FxUsbPipe>(pipe, "WdfUsbTargetPipeFormatRequestForWrite");
    auto* fxRequest = TargetRequest(request, "WdfUsbTargetPipeFormatRequestForWrite");
    if (fx == nullptr || fxRequest == nullptr || writeMemory == nullptr || fx->is_in()) return STATUS_INVALID_PARAMETER;
    size_t bytes = 0;
    if (WdfMemoryGetBuffer(writeMemory, &bytes) == nullptr) return STATUS_INVALID_PARAMETER;
    size_t offset = writeOffset != nullptr ? writeOffset->BufferOffset : 0;
    size_t length = writeOffset != nullptr && writeOffset->BufferLength != 0 ? writeOffset->BufferLength : bytes - offset;
    if (offset > bytes || length > bytes - offset) return STATUS_INVALID_PARAMETER;
    platform::kmdf::RequestFormat format;
    format.kind = platform::kmdf::RequestFormat::Kind::Write;
    format.target = fx;
    format.memory = writeMemory;
    format.offset = offset;
    format.length = length;
    fxRequest->set_format(format);
    return STATUS_SUCCESS;
}

#include "host_controller.h"

#include <algorithm>
#include <array>

#include "fx_usb.h"
#include "platform/kmdf/fx_target_request.h"
#include "usb_urb.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/ntddk.h"
#include "platform/machine/machine.h"
#include "platform/kernel/object_namespace.h"

namespace platform::usb {

namespace {
// Transfers passed over at the list's front before it is compacted.
constexpr size_t kCompactAfter = 64;
constexpr size_t kCacheLine = 64;
constexpr size_t kFrameUrbBytes = GET_ISO_URB_SIZE(8);  // a URB up to a frame's packets
constexpr ULONG kRootHubTag = 0x62755248;  // "HRub"
const char16_t kRootHubIds[] = u"USB\\ROOT_HUB20&VID8086&PID8C31&REV0005\0USB\\ROOT_HUB20\0";

// A URB packet as the bus carries it (its status set now: nobody looks at a
// URB before it completes). An IN packet has the room the buffer leaves, an
// OUT packet what was sent of it.
inline UsbDeviceModel::IsoPacket BusPacket(USBD_ISO_PACKET_DESCRIPTOR* packet, unsigned microframe, UCHAR endpoint,
                                           uint8_t* buffer, ULONG length, ULONG maxPacket, bool in) {
    ULONG offset = packet->Offset;
    ULONG room = std::min(maxPacket, length > offset ? length - offset : 0);
    packet->Status = USBD_STATUS_SUCCESS;
    return UsbDeviceModel::IsoPacket{endpoint, microframe, buffer + offset, in ? room : std::min(packet->Length, room)};
}
}  // namespace

HostController::HostController(Machine& machine) : machine_(machine) {
    for (DEVICE_OBJECT* d : {&controller_, &rootHub_}) {
        d->Type = IO_TYPE_DEVICE;
        d->Size = sizeof(DEVICE_OBJECT);
        d->DeviceType = FILE_DEVICE_BUS_EXTENDER;
        d->Handler = this;
    }
    machine_.names().add_device(kControllerDeviceName, &controller_);
    // A real-time clock may run the first frame before this returns: the frame reads listener_ under lock_.
    std::lock_guard lock(lock_);
    listener_ = machine_.clock().add_frame_listener([this](uint64_t frame) { on_frame(frame); });
}

HostController::~HostController() {
    machine_.clock().remove_frame_listener(listener_);
    machine_.names().remove_device(kControllerDeviceName);
}

HostController& HostController::get() { return Machine::current().attachment<HostController>(); }

void HostController::add_reader(FxUsbPipe* pipe) {
    std::lock_guard lock(lock_);
    readers_.push_back(pipe);
    ++readersVersion_;
    if (!pipe->port().model().announces_in()) polledReaders_.push_back(pipe);
    wake_locked();
}

void HostController::announce() {
    std::lock_guard lock(lock_);
    // Before the wake: the frame the wake lets run sees it.
    announced_.store(true, std::memory_order_release);
    wake_locked();
}

void HostController::wake_locked() {
    // Under lock_, which orders these for the frame's check under it; a plain store, not an exchange.
    woken_.store(true, std::memory_order_release);
    if (idle_.load(std::memory_order_relaxed)) {
        idle_.store(false, std::memory_order_relaxed);
        machine_.clock().set_listener_idle(listener_, false);
    }
}

void HostController::compact_locked() {
    transfers_.erase(transfers_.begin(), transfers_.begin() + static_cast<std::ptrdiff_t>(transfersHead_));
    transfersHead_ = 0;
    if (transfers_.empty()) transfersInFrameOrder_ = true;
}

void HostController::remove_reader(FxUsbPipe* pipe) {
    std::lock_guard lock(lock_);
    std::erase(readers_, pipe);
    ++readersVersion_;
    std::erase(polledReaders_, pipe);
}

void HostController::on_frame(uint64_t frameBegins) {
    std::lock_guard completion(completionLock_);
    // The frame's lists reuse the storage of the last frame's (taken, not
    // shared, so a frame that ran inside another would only allocate anew).
    std::vector<FxUsbPipe*> readers;
    std::vector<Transfer> due;
    std::vector<Transfer> late;
    // The readers' copy is kept while they stay as they were: a frame copies them only after a change.
    uint64_t readersVersion = frameReadersVersion_;
    frameReadersVersion_ = UINT64_MAX;
    readers.swap(frameReaders_);
    due.swap(frameDue_);
    late.swap(frameLate_);
    // Taken before the readers ask: an announcement from now on is heard at the next frame.
    bool announced = announced_.exchange(false, std::memory_order_acq_rel);
    bool ask = false;
    {
        std::lock_guard lock(lock_);
        if (readersVersion != readersVersion_) {
            readers.assign(readers_.begin(), readers_.end());
            readersVersion = readersVersion_;
            readersSettled_ = false;
        }
        // Readers that found nothing, of devices that announce their data, wait
        // for an announcement; an armed fault or an observer sees every ask.
        ask = !readers.empty() && (announced || !readersSettled_ || !polledReaders_.empty() || !fault::quiet());
        if (ask) {
            for (FxUsbPipe* pipe : readers) pipe->add_reference();
        }
        late.swap(late_);
        // Everything scheduled for the frame that just ended runs now; the rest keeps its order.
        // Sent in frame order (the usual), those due are a run from the first: the
        // run is passed over, not moved out, and the list compacted now and then.
        auto isDue = [frameBegins](const Transfer& t) { return t.frame < frameBegins; };
        auto it = transfers_.begin() + static_cast<std::ptrdiff_t>(transfersHead_);
        for (; it != transfers_.end() && isDue(*it); ++it) due.push_back(*it);
        transfersHead_ = static_cast<size_t>(it - transfers_.begin());
        if (!transfersInFrameOrder_) {
            it = std::find_if(it, transfers_.end(), isDue);
            auto kept = it;
            for (; it != transfers_.end(); ++it) {
                if (isDue(*it)) {
                    due.push_back(*it);
                } else {
                    *kept++ = *it;
                }
            }
            transfers_.erase(kept, transfers_.end());
            transfersInFrameOrder_ = std::is_sorted(transfers_.begin() + static_cast<std::ptrdiff_t>(transfersHead_),
                                                    transfers_.end(),
                                                    [](const Transfer& a, const Transfer& b) { return a.frame < b.frame; });
        }
        if (transfersHead_ == transfers_.size() || transfersHead_ >= kCompactAfter) compact_locked();
    }
    // The URBs were formatted frames ago: their packet descriptors come in while the readers run.
    for (const Transfer& transfer : due) {
        if (transfer.urb == nullptr) continue;
        const auto* bytes = reinterpret_cast<const char*>(transfer.urb);
        for (size_t line = 0; line < kFrameUrbBytes; line += kCacheLine) __builtin_prefetch(bytes + line);
    }
    bool read = false;
    if (ask) {
        bool settled = true;
        for (FxUsbPipe* pipe : readers) {
            FxUsbPipe::ReaderFrame result = pipe->run_reader();
            read = read || result == FxUsbPipe::ReaderFrame::Read;
            settled = settled && result == FxUsbPipe::ReaderFrame::Empty;
            pipe->release();
        }
        readersSettled_ = settled;
    }
    run_isochronous(due, frameBegins - 1);
    for (Transfer& transfer : due) {
        if (transfer.late) {
            // Its data went in its frame; its completion comes after the next frame's.
            transfer.late = false;
            std::lock_guard lock(lock_);
            late_.push_back(transfer);
        } else {
            complete(transfer);
        }
    }
    for (Transfer& transfer : late) complete(transfer);
    due.clear();
    late.clear();
    frameReaders_.swap(readers);
    frameReadersVersion_ = readersVersion;
    frameDue_.swap(due);
    frameLate_.swap(late);

    // A streaming frame sends (a wake): a bus that was not idle then stays so, with no lock taken.
    bool busy = read || woken_.exchange(false, std::memory_order_acq_rel);
    if (busy && !idle_.load(std::memory_order_relaxed)) return;
    std::lock_guard lock(lock_);
    bool idle = !busy && !woken_.exchange(false, std::memory_order_acq_rel) && polledReaders_.empty() &&
                transfers_.empty() && late_.empty();
    if (idle != idle_.load(std::memory_order_relaxed)) {
        idle_.store(idle, std::memory_order_relaxed);
        machine_.clock().set_listener_idle(listener_, idle);
    }
}

void HostController::run_isochronous(std::vector<Transfer>& due, uint64_t frame) {
    constexpr unsigned kMicroframes = 8;
    // Transfer by transfer (what a pipe and its URB say holds for all their
    // packets), then straight into bus order: microframe by microframe, OUT
    // packets before IN packets, in the order they were sent within each.
    std::vector<Source> sources;
    sources.swap(frameSources_);
    sources.clear();
    bool oneDevice = true;
    UsbDeviceModel* firstModel = nullptr;
    unsigned longest = 0;  // the most packets a transfer has this frame
    for (Transfer& t : due) {
        if (!t.isochronous || t.badStartFrame || t.failWith != 0) continue;
        FxUsbPipe* pipe = t.pipe;
        UsbPort& port = pipe->port();
        if (!port.connected()) continue;
        UsbDeviceModel* model = &port.model();
        if (firstModel == nullptr) firstModel = model;
        oneDevice = oneDevice && model == firstModel;
        bool in = pipe->is_in();
        URB_ISOCH_TRANSFER& urb = *t.urb;
        unsigned count = std::min<ULONG>(urb.NumberOfPackets, kMicroframes);
        Source& source = sources.emplace_back();
        source.model = model;
        source.packets = urb.IsoPacket;
        source.buffer = static_cast<uint8_t*>(urb.TransferBuffer);
        source.length = urb.TransferBufferLength;
        source.maxPacket = pipe->information().MaximumPacketSize;
        source.count = count;
        source.endpoint = pipe->endpoint().bEndpointAddress;
        source.in = in;
        longest = std::max(longest, count);
    }
    if (sources.empty()) {
        frameSources_.swap(sources);
        return;
    }
    std::vector<UsbDeviceModel::IsoPacket> batch;
    batch.swap(frameBatch_);
    // Kept at its largest: no clearing per frame.
    size_t most = size_t{longest} * sources.size();
    if (batch.size() < most) batch.resize(most);
    // Bus order: microframe by microframe, the OUT transfers' packets in send order, then the IN transfers'.
    // Each packet's status is set now: nobody looks at a URB before it completes.
    size_t total = 0;
    bool uniform = std::all_of(sources.begin(), sources.end(), [longest](const Source& s) { return s.count == longest; });
    if (uniform) {
        // Every transfer has a packet in every microframe: each one's packets
        // are a column of the bus order, written transfer by transfer.
        auto stride = static_cast<uint16_t>(sources.size());
        uint16_t column = 0;
        auto fill = [&](Source& source, bool in) {
            source.first = column++;
            source.stride = stride;
            UsbDeviceModel::IsoPacket* out = batch.data() + source.first;
            USBD_ISO_PACKET_DESCRIPTOR* packet = source.packets;
            // Copied out: the stores below could otherwise alias them, and each packet would reload them.
            const ULONG maxPacket = source.maxPacket;
            const ULONG length = source.length;
            const UCHAR endpoint = source.endpoint;
            uint8_t* const buffer = source.buffer;
            for (unsigned microframe = 0; microframe < longest; ++microframe, out += stride, ++packet) {
                *out = BusPacket(packet, microframe, endpoint, buffer, length, maxPacket, in);
            }
        };
        for (Source& source : sources) {
            if (!source.in) fill(source, false);
        }
        for (Source& source : sources) {
            if (source.in) fill(source, true);
        }
        total = most;
    } else {
        for (unsigned microframe = 0; microframe < longest; ++microframe) {
            for (int in = 0; in < 2; ++in) {
                for (Source& source : sources) {
                    if (source.in != (in != 0) || microframe >= source.count) continue;
                    source.at[microframe] = static_cast<uint16_t>(total);
                    batch[total++] = BusPacket(&source.packets[microframe], microframe, source.endpoint,
                                               source.buffer, source.length, source.maxPacket, source.in);
                }
            }
        }
    }

    if (oneDevice) {
        // The usual bus: one device takes the frame's packets in one call.
        firstModel->iso_frame(frame, batch.data(), total);
    } else {
        // Each device takes its packets of the frame in one call, in their bus order.
        std::vector<UsbDeviceModel*> owners;
        std::vector<UsbDeviceModel::IsoPacket> one;
        owners.swap(frameOwners_);
        one.swap(frameOneDevice_);
        if (owners.size() < total) owners.resize(total);
        for (const Source& source : sources) {
            for (unsigned microframe = 0; microframe < source.count; ++microframe) owners[source.place_of(microframe)] = source.model;
        }
        for (size_t first = 0; first < total; ++first) {
            UsbDeviceModel* model = owners[first];
            if (model == nullptr) continue;  // taken with an earlier device's
            one.clear();
            for (size_t i = first; i < total; ++i) {
                if (owners[i] == model) one.push_back(batch[i]);
            }
            model->iso_frame(frame, one.data(), one.size());
            size_t next = 0;
            for (size_t i = first; i < total; ++i) {
                if (owners[i] != model) continue;
                batch[i] = one[next++];
                owners[i] = nullptr;
            }
        }
        frameOwners_.swap(owners);
        frameOneDevice_.swap(one);
    }
    // An IN packet's length is what the device put there; an OUT packet's stays what was sent.
    for (const Source& source : sources) {
        if (!source.in) continue;
        for (unsigned microframe = 0; microframe < source.count; ++microframe) {
            source.packets[microframe].Length = batch[source.place_of(microframe)].bytes;
        }
    }
    frameSources_.swap(sources);
    frameBatch_.swap(batch);
}

void HostController::complete(Transfer& t) {
    NTSTATUS status = STATUS_SUCCESS;
    LONG usbd = USBD_STATUS_SUCCESS;
    ULONG_PTR information = 0;
    if (!t.pipe->port().connected()) {
        status = STATUS_NO_SUCH_DEVICE;
        usbd = USBD_STATUS_DEVICE_GONE;
    } else if (t.badStartFrame) {
        status = STATUS_UNSUCCESSFUL;
        usbd = USBD_STATUS_BAD_START_FRAME;
    } else if (t.failWith != 0) {
        status = STATUS_UNSUCCESSFUL;
        usbd = t.failWith;
    }
    const kmdf::RequestFormat& format = t.request->format();
    if (t.isochronous) {
        URB_ISOCH_TRANSFER& urb = *t.urb;
        urb.Hdr.Status = usbd;
        urb.ErrorCount = usbd == USBD_STATUS_SUCCESS ? 0 : urb.NumberOfPackets;
        if (usbd != USBD_STATUS_SUCCESS) {
            for (ULONG k = 0; k < urb.NumberOfPackets; ++k) urb.IsoPacket[k].Status = usbd;
        }
        information = NT_SUCCESS(status) ? urb.TransferBufferLength : 0;
    } else if (NT_SUCCESS(status)) {
        size_t bytes = 0;
        auto* base = static_cast<uint8_t*>(WdfMemoryGetBuffer(format.memory, &bytes));
        status = t.pipe->port().model().write_out(t.pipe->endpoint().bEndpointAddress, base + format.offset,
                                                  static_cast<ULONG>(format.length));
        if (!NT_SUCCESS(status)) usbd = USBD_STATUS_STALL_PID;
        information = NT_SUCCESS(status) ? format.length : 0;
    }
    t.pipe->finish(t.request, status, information, usbd);
    t.pipe->release();
}

NTSTATUS HostController::submit(FxUsbPipe* pipe, kmdf::FxTargetRequest* request) {
    const kmdf::RequestFormat& format = request->format();
    uint64_t current = machine_.clock().frame();
    UCHAR endpoint = pipe->endpoint().bEndpointAddress;
    Transfer t{pipe, request, nullptr, current, 0, false, false, false};
    if (format.kind == kmdf::RequestFormat::Kind::Urb) {
        auto* urb = static_cast<URB*>(format.urb);
        auto& iso = urb->UrbIsochronousTransfer;
        if (urb == nullptr || urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER || iso.PipeHandle != pipe ||
            iso.NumberOfPackets == 0 || iso.NumberOfPackets > USBD_ISO_PACKETS_MAX ||
            pipe->information().PipeType != WdfUsbPipeTypeIsochronous) {
            return STATUS_INVALID_PARAMETER;
        }
        t.isochronous = true;
        t.urb = &iso;
        if (iso.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) {
            t.frame = current + 1;
        } else {
            t.frame = iso.StartFrame;
            // A frame that has already passed cannot carry it: it fails after the current frame.
            if (t.frame < current) {
                t.badStartFrame = true;
                t.frame = current;
            }
        }
    } else if (format.kind == kmdf::RequestFormat::Kind::Write) {
        if (pipe->is_in() || pipe->information().PipeType == WdfUsbPipeTypeIsochronous) return STATUS_INVALID_PARAMETER;
    } else {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::lock_guard lock(lock_);
    // The fault knobs are nearly always unarmed: an empty map is not searched.
    if (!failNext_.empty()) {
        if (auto it = failNext_.find(endpoint); it != failNext_.end()) {
            t.failWith = it->second;
            failNext_.erase(it);
        }
    }
    if (!delayNext_.empty()) {
        if (auto it = delayNext_.find(endpoint); it != delayNext_.end()) {
            t.late = true;
            delayNext_.erase(it);
        }
    }
    pipe->add_reference();
    if (transfers_.size() > transfersHead_ && t.frame < transfers_.back().frame) transfersInFrameOrder_ = false;
    transfers_.push_back(t);
    wake_locked();
    return STATUS_SUCCESS;
}

void HostController::cancel_pipe(FxUsbPipe* pipe) {
    std::lock_guard completion(completionLock_);
    std::vector<Transfer> cancelled;
    {
        std::lock_guard lock(lock_);
        compact_locked();
        for (auto* list : {&transfers_, &late_}) {
            for (auto it = list->begin(); it != list->end();) {
                if (it->pipe == pipe) {
                    cancelled.push_back(*it);
                    it = list->erase(it);
                } else {
                    ++it;
                }
            }
        }
    }
    DispatchLevelScope dispatch;
    for (Transfer& t : cancelled) {
        if (t.isochronous) static_cast<URB*>(t.request->format().urb)->UrbHeader.Status = USBD_STATUS_CANCELED;
        t.pipe->finish(t.request, STATUS_CANCELLED, 0, USBD_STATUS_CANCELED);
        t.pipe->release();
    }
}

bool HostController::cancel_request(kmdf::FxTargetRequest* request) {
    std::lock_guard completion(completionLock_);
    Transfer found{};
    bool have = false;
    {
        std::lock_guard lock(lock_);
        compact_locked();
        for (auto* list : {&transfers_, &late_}) {
            for (auto it = list->begin(); it != list->end() && !have; ++it) {
                if (it->request == request) {
                    found = *it;
                    list->erase(it);
                    have = true;
                    break;
                }
            }
        }
    }
    if (!have) return false;
    DispatchLevelScope dispatch;
    found.pipe->finish(found.request, STATUS_CANCELLED, 0, USBD_STATUS_CANCELED);
    found.pipe->release();
    return true;
}

size_t HostController::scheduled(FxUsbPipe* pipe) {
    std::lock_guard lock(lock_);
    compact_locked();
    size_t count = 0;
    for (auto* list : {&transfers_, &late_}) {
        for (auto& t : *list) count += t.pipe == pipe ? 1 : 0;
    }
    return count;
}

void HostController::fail_next_transfer(UCHAR endpoint, LONG usbdStatus) {
    std::lock_guard lock(lock_);
    failNext_[endpoint] = usbdStatus;
}

void HostController::delay_next_transfer(UCHAR endpoint) {
    std::lock_guard lock(lock_);
    delayNext_[endpoint] = true;
}

NTSTATUS HostController::dispatch_irp(DEVICE_OBJECT* device, IRP* irp) {
    NTSTATUS status = STATUS_SUCCESS;
    switch (irp->Stack.MajorFunction) {
        case IRP_MJ_CREATE:
        case IRP_MJ_CLEANUP:
        case IRP_MJ_CLOSE:
            break;
        case IRP_MJ_PNP:
            if (device == &controller_ && irp->Stack.MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
                irp->Stack.Parameters.QueryDeviceRelations.Type == BusRelations) {
                // The caller owns the list (ExFreePool) and the reference on each object in it.
                auto* relations = static_cast<DEVICE_RELATIONS*>(
                    ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kRootHubTag));
                if (relations == nullptr) {
                    status = STATUS_INSUFFICIENT_RESOURCES;
                    break;
                }
                relations->Count = 1;
                relations->Objects[0] = &rootHub_;
                ObReferenceObject(&rootHub_);
                irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
            } else {
                status = irp->IoStatus.Status;
            }
            break;
        default:
            status = STATUS_INVALID_DEVICE_REQUEST;
            break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

std::u16string HostController::device_property(DEVICE_OBJECT* device, DEVICE_REGISTRY_PROPERTY property) {
    if (device != &rootHub_ || property != DevicePropertyHardwareID) return {};
    return std::u16string(kRootHubIds, std::size(kRootHubIds));
}

}  // namespace platform::usb

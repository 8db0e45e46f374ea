#include "vexa_interface.h"

#include <cstring>

#include "descriptor_builder.h"
#include "platform/machine/machine.h"

namespace platform::device {

namespace {

constexpr uint8_t kRequestCapabilities = 0;
constexpr uint8_t kRequestResync = 1;
constexpr uint8_t kRequestCommand = 2;
constexpr uint8_t kRequestReply = 3;
constexpr size_t kHeaderBytes = 16;
constexpr uint32_t kReplyReadyBit = 0x1;
constexpr uint32_t kReservedNotifyBits = 0x3;
constexpr size_t kInterruptBytes = 8;

struct Header {
    uint32_t commandWord;
    uint16_t length;
    uint16_t sequence;
    uint32_t status;
    uint32_t reserved;
};
static_assert(sizeof(Header) == kHeaderBytes);

uint16_t CategoryOf(uint32_t word) { return static_cast<uint16_t>((word >> 12) & 0xFFF); }
uint16_t CommandOf(uint32_t word) { return static_cast<uint16_t>(word & 0xFFF); }

std::vector<uint8_t> Word(uint32_t word, size_t bytes) {
    std::vector<uint8_t> transfer(bytes, 0);
    std::memcpy(transfer.data(), &word, std::min(bytes, sizeof(word)));
    return transfer;
}

}  // namespace

VexaInterface::VexaInterface(VexaModel model, VexaVariant variant, uint32_t serial)
    : SimulatedUsbDevice(make_device_descriptor(kVexaVendorId, model_spec(model).productId, 0x0100, kManufacturerString,
                                                kProductString, kSerialString),
                         build_configuration(model_spec(model), variant), build_strings(model_spec(model), serial)),
      spec_(model_spec(model)),
      firmware_(spec_, serial) {}

void VexaInterface::set_capabilities(const VendorCapabilities& capabilities) {
    std::lock_guard lock(lock_);
    capabilities_ = capabilities;
}

void VexaInterface::set_faults(const VendorFaults& faults) {
    std::lock_guard lock(lock_);
    faults_ = faults;
}

std::vector<ReceivedCommand> VexaInterface::received() const {
    std::lock_guard lock(lock_);
    return received_;
}

void VexaInterface::raise_event(uint32_t bits, bool withNextReply) {
    std::lock_guard lock(lock_);
    if (withNextReply) {
        pendingEventBits_ |= bits & ~kReservedNotifyBits;
    } else {
        vendorInterrupts_.push_back(Word(bits & ~kReservedNotifyBits, kInterruptBytes));
    }
}

void VexaInterface::send_odd_interrupt(uint32_t word, size_t bytes) {
    std::lock_guard lock(lock_);
    vendorInterrupts_.push_back(Word(word, bytes));
}

usb::ControlResult VexaInterface::control(const WDF_USB_CONTROL_SETUP_PACKET& setup, uint8_t* data) {
    bool classToInterface = (setup.bmRequestType & 0x60) == 0x20 && (setup.bmRequestType & 0x1F) == 1;
    if (classToInterface && (setup.wIndex & 0xFF) == kVendorInterface) return vendor_request(setup, data);
    return SimulatedUsbDevice::control(setup, data);
}

usb::ControlResult VexaInterface::vendor_request(const WDF_USB_CONTROL_SETUP_PACKET& setup, uint8_t* data) {
    bool in = (setup.bmRequestType & 0x80) != 0;
    std::unique_lock lock(lock_);
    switch (setup.bRequest) {
        case kRequestCapabilities: {
            if (!in || faults_.stallCapabilities) return {usb::kStall, 0};
            ULONG bytes = std::min<ULONG>(setup.wLength, sizeof(capabilities_));
            std::memcpy(data, &capabilities_, bytes);
            return {STATUS_SUCCESS, bytes};
        }
        case kRequestResync: {
            if (in) return {usb::kStall, 0};
            // A resync drops what the host never collected and restarts the exchange.
            outbox_.clear();
            for (uint64_t timer : announcements_) Machine::current().clock().cancel(timer);
            announcements_.clear();
            received_.push_back({0, 0, 0, {}, true});
            lock.unlock();
            queue_reply(0, 0, FirmwareReply{});
            return {STATUS_SUCCESS, 0};
        }
        case kRequestCommand: {
            if (faults_.hangCommands) return {usb::kNoAnswer, 0};
            if (in || faults_.stallCommands || setup.wLength < kHeaderBytes) return {usb::kStall, 0};
            Header header;
            std::memcpy(&header, data, kHeaderBytes);
            std::vector<uint8_t> payload(data + kHeaderBytes, data + setup.wLength);
            if (header.length != payload.size() || payload.size() > capabilities_.maxPayload) return {usb::kStall, 0};
            uint16_t category = CategoryOf(header.commandWord);
            uint16_t command = CommandOf(header.commandWord);
            received_.push_back({category, command, header.sequence, payload, false});
            uint32_t replyWord = faults_.wrongCommand ? header.commandWord + 1 : header.commandWord;
            auto replySequence = static_cast<uint16_t>(faults_.wrongSequence ? header.sequence + 1 : header.sequence);
            lock.unlock();
            queue_reply(replyWord, replySequence, firmware_.execute(category, command, payload));
            return {STATUS_SUCCESS, setup.wLength};
        }
        case kRequestReply: {
            if (!in || outbox_.empty()) return {usb::kStall, 0};
            std::vector<uint8_t> reply = std::move(outbox_.front());
            outbox_.pop_front();
            ULONG bytes = std::min<ULONG>(setup.wLength, static_cast<ULONG>(reply.size()));
            std::memcpy(data, reply.data(), bytes);
            return {STATUS_SUCCESS, bytes};
        }
        default:
            return {usb::kStall, 0};
    }
}

void VexaInterface::queue_reply(uint32_t commandWord, uint16_t sequence, const FirmwareReply& reply) {
    std::lock_guard lock(lock_);
    Header header{};
    header.commandWord = commandWord;
    header.sequence = sequence;
    header.status = reply.status;
    header.length = static_cast<uint16_t>(reply.payload.size() + faults_.extraLength);
    std::vector<uint8_t> bytes(kHeaderBytes + reply.payload.size());
    std::memcpy(bytes.data(), &header, kHeaderBytes);
    if (!reply.payload.empty()) std::memcpy(bytes.data() + kHeaderBytes, reply.payload.data(), reply.payload.size());
    outbox_.push_back(std::move(bytes));
    if (faults_.noReply) return;
    if (faults_.replyDelayMs == 0) {
        announce_reply();
        return;
    }
    Clock& clock = Machine::current().clock();
    announcements_.push_back(clock.schedule_at(clock.now() + Milliseconds(faults_.replyDelayMs), [this] {
        std::lock_guard late(lock_);
        announce_reply();
    }));
}

// Caller holds lock_.
void VexaInterface::announce_reply() {
    vendorInterrupts_.push_back(Word(kReplyReadyBit | pendingEventBits_, kInterruptBytes));
    pendingEventBits_ = 0;
}

std::optional<std::vector<uint8_t>> VexaInterface::read_in(UCHAR endpointAddress, ULONG maxBytes) {
    std::lock_guard lock(lock_);
    if (endpointAddress != kVendorInterruptEndpoint || vendorInterrupts_.empty()) return std::nullopt;
    std::vector<uint8_t> transfer = std::move(vendorInterrupts_.front());
    vendorInterrupts_.pop_front();
    if (transfer.size() > maxBytes) transfer.resize(maxBytes);
    return transfer;
}

std::shared_ptr<VexaInterface> make_vexa_interface(VexaModel model, VexaVariant variant, uint32_t serial) {
    return std::make_shared<VexaInterface>(model, variant, serial);
}

}  // namespace platform::device

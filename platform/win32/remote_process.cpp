// A process of this program on the machine behind vexa-machine's socket. One
// reader thread takes every message from the machine: replies go to the
// waiting caller, late completions are written into the caller's buffers,
// and shared memory the machine maps into this process is mapped here.
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "platform/kernel/event_object.h"
#include "platform/kernel/ntstatus.h"
#include "platform/kernel/shared_memory.h"
#include "platform/machine/interface_subscriptions.h"
#include "platform/machine/socket_protocol.h"
#include "user_process.h"

namespace platform::win32 {
namespace {

using wire::Header;
using wire::Message;
using wire::Type;

// What a caller is told when the machine has gone away.
constexpr NTSTATUS kMachineGone = STATUS_DEVICE_NOT_CONNECTED;

class RemoteProcess : public UserProcess {
public:
    RemoteProcess(int socket, bool is32Bit, std::string socketPath)
        : socket_(socket),
          is32Bit_(is32Bit),
          socketPath_(std::move(socketPath)),
          goneFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~RemoteProcess() override {
        end();
        if (reader_.joinable()) reader_.join();
        close(socket_);
        for (auto& [handle, event] : events_) event->release();
        if (goneFd_ >= 0) close(goneFd_);
    }

    bool hello(const std::string& name) {
        reader_ = std::thread([this] { reader_main(); });
        Header h{};
        h.type = Type::Hello;
        h.flags = is32Bit_ ? wire::kFlag32Bit : 0;
        h.code = wire::kProtocolVersion;
        Message reply = request(h, name.data(), name.size());
        if (reply.header.status != STATUS_SUCCESS) return false;
        id_ = static_cast<ULONG>(reply.header.value);
        return true;
    }

    ULONG process_id() const override { return id_; }
    bool is_32bit() const override { return is32Bit_; }

    NTSTATUS create_file(std::u16string_view path, HANDLE* handle) override {
        Header h{};
        h.type = Type::CreateFile;
        std::vector<uint8_t> bytes = wire::to_bytes(path);
        Message reply = request(h, bytes.data(), bytes.size());
        if (NT_SUCCESS(reply.header.status)) *handle = reinterpret_cast<HANDLE>(reply.header.handle);
        return reply.header.status;
    }

    NTSTATUS close_handle(HANDLE handle) override {
        EventObject* local = nullptr;
        {
            std::lock_guard lock(lock_);
            if (auto it = events_.find(handle); it != events_.end()) {
                local = it->second;
                events_.erase(it);
            }
        }
        if (local != nullptr) local->release();
        Header h{};
        h.type = Type::Close;
        h.handle = reinterpret_cast<uint64_t>(handle);
        return request(h, nullptr, 0).header.status;
    }

    NTSTATUS device_io_control(HANDLE handle, ULONG code, const void* input, ULONG inputLength, void* output,
                               ULONG outputLength, uint64_t thread, IoDone done) override {
        Header h{};
        h.type = Type::Ioctl;
        h.handle = reinterpret_cast<uint64_t>(handle);
        h.thread = thread;
        h.code = code;
        h.length1 = inputLength;
        h.length2 = outputLength;
        if (inputLength > wire::kMaxPayload || outputLength > wire::kMaxPayload) {
            done(STATUS_INVALID_BUFFER_SIZE, 0);
            return STATUS_INVALID_BUFFER_SIZE;
        }
        // Registered before sending: the completion may follow the reply at once.
        uint64_t id = next_id();
        {
            std::lock_guard lock(lock_);
            ios_[id] = PendingIo{output, outputLength, std::move(done)};
        }
        Message reply = request(h, input, inputLength, -1, id);
        if (reply.header.type == Type::Dispatched && (reply.header.flags & wire::kFlagPending) != 0) {
            return STATUS_PENDING;
        }
        finish_io(id, reply);
        return reply.header.status;
    }

    void cancel_io(HANDLE handle, std::optional<uint64_t> thread) override {
        Header h{};
        h.type = Type::Cancel;
        h.handle = reinterpret_cast<uint64_t>(handle);
        h.thread = thread.value_or(0);
        h.flags = thread ? 0 : wire::kFlagAllThreads;
        request(h, nullptr, 0);
    }

    NTSTATUS create_event(bool manualReset, bool initialState, HANDLE* handle) override {
        EventObject* event = EventObject::create(manualReset, initialState);
        if (event == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        Header h{};
        h.type = Type::CreateEvent;
        h.flags = manualReset ? wire::kFlagManualReset : 0;
        Message reply = request(h, nullptr, 0, event->fd());
        if (!NT_SUCCESS(reply.header.status)) {
            event->release();
            return reply.header.status;
        }
        *handle = reinterpret_cast<HANDLE>(reply.header.handle);
        std::lock_guard lock(lock_);
        events_[*handle] = event;
        return STATUS_SUCCESS;
    }

    EventObject* reference_event(HANDLE handle) override {
        std::lock_guard lock(lock_);
        auto it = events_.find(handle);
        if (dead_ || it == events_.end()) return nullptr;
        it->second->reference();
        return it->second;
    }

    int machine_gone_fd() override { return goneFd_; }

    std::vector<std::u16string> interfaces(const GUID& interfaceClass, bool presentOnly) override {
        Header h{};
        h.type = Type::Interfaces;
        h.flags = presentOnly ? wire::kFlagPresentOnly : 0;
        Message reply = request(h, &interfaceClass, sizeof(GUID));
        std::vector<std::u16string> links;
        std::u16string all = wire::to_u16(reply.payload);
        for (size_t start = 0; start < all.size();) {
            size_t end = all.find(u'\0', start);
            if (end == std::u16string::npos) end = all.size();
            if (end > start) links.push_back(all.substr(start, end - start));
            start = end + 1;
        }
        return links;
    }

    uint64_t subscribe_interfaces(const GUID& interfaceClass, bool allClasses, InterfaceListener listener) override {
        Header h{};
        h.type = Type::Subscribe;
        h.flags = allClasses ? wire::kFlagAllClasses : 0;
        // The reader lists the listener as it takes the reply, before any
        // change of the subscription can reach it (they follow the reply).
        uint64_t id = next_id();
        {
            std::lock_guard lock(lock_);
            subscribing_[id] = std::move(listener);
        }
        Message reply = request(h, &interfaceClass, sizeof(GUID), -1, id);
        std::lock_guard lock(lock_);
        subscribing_.erase(id);  // still here when the machine refused or has gone
        return NT_SUCCESS(reply.header.status) ? reply.header.value : 0;
    }

    void unsubscribe_interfaces(uint64_t subscription) override {
        {
            std::lock_guard lock(lock_);
            listeners_.erase(subscription);
        }
        Header h{};
        h.type = Type::Unsubscribe;
        h.value = subscription;
        request(h, nullptr, 0);
    }

    void end() override { shutdown(socket_, SHUT_RDWR); }

    user_registry::Result registry(const user_registry::Call& call) override {
        Header h{};
        h.type = Type::Registry;
        h.code = static_cast<uint32_t>(call.op);
        h.length1 = call.type;
        std::vector<uint8_t> payload = user_registry::encode(call);
        user_registry::Result result;
        if (payload.size() > wire::kMaxPayload) {
            result.status = STATUS_INVALID_BUFFER_SIZE;
            return result;
        }
        Message reply = request(h, payload.data(), payload.size());
        result.status = reply.header.status;
        result.disposition = static_cast<uint32_t>(reply.header.value);
        result.type = reply.header.code;
        if (NT_SUCCESS(result.status)) user_registry::decode_payload(reply.payload, call.op, &result);
        return result;
    }

    std::optional<InstalledFile> find_installed_file(std::u16string_view windowsPath) override {
        Header h{};
        h.type = Type::ResolveFile;
        std::vector<uint8_t> bytes = wire::to_bytes(windowsPath);
        Message reply = request(h, bytes.data(), bytes.size());
        if (!NT_SUCCESS(reply.header.status) || reply.header.code > reply.payload.size()) return std::nullopt;
        auto split = reply.payload.begin() + reply.header.code;
        InstalledFile found;
        found.windowsPath = wire::to_u16(std::vector<uint8_t>(reply.payload.begin(), split));
        found.file.assign(split, reply.payload.end());
        return found;
    }

    std::string machine_socket() override { return socketPath_; }

private:
    struct PendingIo {
        void* output;
        ULONG outputLength;
        IoDone done;
    };
    struct Waiter {
        bool answered = false;
        Message reply;
    };

    uint64_t next_id() {
        std::lock_guard lock(lock_);
        return nextId_++;
    }

    // Sends a request and waits for its answer; a gone machine answers kMachineGone.
    Message request(Header header, const void* payload, size_t bytes, int fd = -1, uint64_t id = 0) {
        header.id = id != 0 ? id : next_id();
        if (header.thread == 0) header.thread = current_thread_token();
        Waiter waiter;
        {
            std::lock_guard lock(lock_);
            if (dead_) return gone(header.id);
            waiters_[header.id] = &waiter;
        }
        bool sent;
        {
            std::lock_guard lock(sendLock_);
            sent = wire::send_message(socket_, header, payload, bytes, fd);
        }
        std::unique_lock lock(lock_);
        if (!sent) {
            waiters_.erase(header.id);
            return gone(header.id);
        }
        answered_.wait(lock, [&] { return waiter.answered; });
        return std::move(waiter.reply);
    }

    static Message gone(uint64_t id) {
        Message m;
        m.header.type = Type::Reply;
        m.header.id = id;
        m.header.status = kMachineGone;
        return m;
    }

    // Writes a finished request's output and tells its caller.
    void finish_io(uint64_t id, const Message& message) {
        PendingIo io;
        {
            std::lock_guard lock(lock_);
            auto it = ios_.find(id);
            if (it == ios_.end()) return;
            io = std::move(it->second);
            ios_.erase(it);
        }
        size_t bytes = std::min<size_t>(message.payload.size(), io.outputLength);
        if (bytes != 0) std::memcpy(io.output, message.payload.data(), bytes);
        io.done(message.header.status, static_cast<ULONG_PTR>(message.header.value));
    }

    void map(const Message& message) {
        Header h{};
        h.type = Type::Mapped;
        h.id = message.header.id;
        h.status = STATUS_SUCCESS;
        // A 32-bit process gets its mapping below 4 GiB, as its addresses are 32 bits wide.
        void* address = message.fd >= 0 ? map_shared_memory(message.fd, message.header.value, message.header.length1,
                                                             is32Bit_)
                                          : nullptr;
        if (message.fd >= 0) close(message.fd);
        if (address == nullptr) {
            h.status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            h.value = reinterpret_cast<uint64_t>(address);
        }
        std::lock_guard lock(sendLock_);
        wire::send_message(socket_, h, nullptr, 0);
    }

    // A change the machine pushed: to its subscription's listener, unless that has gone.
    void interface_changed(const Message& message) {
        GUID interfaceClass{};
        std::u16string link;
        if (!wire::decode_interface_change(message.payload, &interfaceClass, &link)) return;
        InterfaceListener listener;
        {
            std::lock_guard lock(lock_);
            auto it = listeners_.find(message.header.value);
            if (it == listeners_.end()) return;
            listener = it->second;
        }
        listener(interfaceClass, link, (message.header.flags & wire::kFlagArrival) != 0);
    }

    void reader_main() {
        Message message;
        while (wire::receive_message(socket_, &message)) {
            switch (message.header.type) {
                case Type::Completed:
                    finish_io(message.header.id, message);
                    break;
                case Type::Map:
                    map(message);
                    break;
                case Type::Unmap:
                    unmap_shared_memory(reinterpret_cast<void*>(message.header.value), message.header.length1);
                    break;
                case Type::InterfaceChanged:
                    interface_changed(message);
                    break;
                default: {
                    if (message.fd >= 0) close(message.fd);
                    std::lock_guard lock(lock_);
                    auto it = waiters_.find(message.header.id);
                    if (it == waiters_.end()) break;
                    if (auto made = subscribing_.find(message.header.id); made != subscribing_.end()) {
                        if (NT_SUCCESS(message.header.status) && message.header.value != 0) {
                            listeners_[message.header.value] = std::move(made->second);
                        }
                        subscribing_.erase(made);
                    }
                    it->second->reply = std::move(message);
                    it->second->answered = true;
                    waiters_.erase(it);
                    answered_.notify_all();
                    break;
                }
            }
            message = Message{};
        }
        // The machine has gone: every waiter and every pending request learns it.
        std::map<uint64_t, PendingIo> ios;
        {
            std::lock_guard lock(lock_);
            dead_ = true;
            for (auto& [id, waiter] : waiters_) {
                waiter->reply = gone(id);
                waiter->answered = true;
            }
            waiters_.clear();
            answered_.notify_all();
            ios.swap(ios_);
        }
        for (auto& [id, io] : ios) io.done(kMachineGone, 0);
        // Never read: it stays readable, and every wait on the machine's objects ends.
        uint64_t one = 1;
        if (goneFd_ >= 0) [[maybe_unused]] ssize_t written = write(goneFd_, &one, sizeof(one));
    }

    const int socket_;
    const bool is32Bit_;
    const std::string socketPath_;
    const int goneFd_;  // an eventfd, written once when the machine has gone
    ULONG id_ = 0;
    std::thread reader_;
    std::mutex sendLock_;  // one message at a time on the socket
    std::mutex lock_;      // guards the fields below
    std::condition_variable answered_;
    std::map<uint64_t, Waiter*> waiters_;
    std::map<uint64_t, PendingIo> ios_;
    std::map<HANDLE, EventObject*> events_;
    std::map<uint64_t, InterfaceListener> listeners_;    // subscription id -> listener
    std::map<uint64_t, InterfaceListener> subscribing_;  // request id -> listener of a subscription being made
    uint64_t nextId_ = 1;
    bool dead_ = false;
};

}  // namespace

std::shared_ptr<UserProcess> connect_to_machine(const std::string& socketPath, bool is32Bit, std::string name,
                                                std::string* error) {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        if (error != nullptr) *error = std::strerror(errno);
        return nullptr;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof(address.sun_path)) {
        close(fd);
        if (error != nullptr) *error = "socket path too long";
        return nullptr;
    }
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        if (error != nullptr) *error = std::strerror(errno);
        close(fd);
        return nullptr;
    }
    auto process = std::make_shared<RemoteProcess>(fd, is32Bit, socketPath);
    process->set_image_path("C:\\Program Files\\" + name + "\\" + name + ".exe");
    if (!process->hello(name)) {
        if (error != nullptr) *error = "the machine refused the connection";
        return nullptr;
    }
    return process;
}

}  // namespace platform::win32

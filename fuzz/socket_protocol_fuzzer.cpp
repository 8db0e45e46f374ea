// The messages of vexa-machine's socket protocol, from a client that writes
// them by hand: any type (the machine's own included), any header field, a
// payload, and descriptors attached or not, over one connection to a machine
// with the real drivers and a Cantile-QE. Every message but Mapped must be
// answered; the machine must end the connection's process when it closes,
// serve a well-behaved client after it, hold no descriptor more than before,
// and leave the pool balanced once it has shut down.
#include <dirent.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "fuzz_support.h"
#include "platform/machine/logger_protocol.h"
#include "platform/machine/socket_protocol.h"
#include "platform/machine/socket_server.h"
#include "support/root_machine.h"
#include "support/temp_dir.h"

namespace {

using platform::wire::Header;
using platform::wire::Message;
using platform::wire::Type;
using vexa::fuzz::Fail;
using vexa::fuzz::Reader;

constexpr size_t kMaxMessages = 40;
constexpr size_t kMaxPayloadFromInput = 2048;

constexpr Type kTypes[] = {Type::Hello,      Type::CreateFile, Type::Close,  Type::Ioctl,     Type::Cancel,
                           Type::CreateEvent, Type::Interfaces, Type::Mapped, Type::Reply,     Type::Dispatched,
                           Type::Completed,  Type::Map,        Type::Unmap};

constexpr uint32_t kCodes[] = {
    vexa::pal::kIoctlGetApiVersion,      vexa::pal::kIoctlGetDeviceKind,     vexa::pal::kIoctlDcpCommand,
    vexa::pal::kIoctlWaitNotification,   vexa::asio::kIoctlAsioGetVersion,   vexa::asio::kIoctlAsioGetInfo,
    vexa::asio::kIoctlAsioOpen,          vexa::asio::kIoctlAsioClose,        vexa::asio::kIoctlAsioCreateBuffers,
    vexa::asio::kIoctlAsioStart,         vexa::asio::kIoctlAsioStop,         vexa::log::kIoctlLoggerMapRingUser,
    vexa::log::kIoctlLoggerWrite,
};

size_t OpenDescriptors() {
    size_t count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.' ? 1 : 0;
    closedir(dir);
    return count;
}

// "\\?\X" as the machine names it: "\??\X".
std::u16string NtPath(std::u16string path) {
    if (path.size() > 4) path[1] = u'?';
    return path;
}

// The hand-written client: sends one message at a time and waits for its
// answer; a reader thread takes every message, answers the machine's Map
// requests with a real mapping, and keeps the handles the answers carry.
class Client {
public:
    explicit Client(const std::string& path) {
        fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) Fail("cannot connect");
        reader_ = std::thread([this] { reader_main(); });
    }
    ~Client() {
        shutdown(fd_, SHUT_RDWR);
        reader_.join();
        close(fd_);
        for (auto& [address, bytes] : mappings_) munmap(address, bytes);
    }

    // Sends; when an answer is owed, waits for it. False once the machine has closed the connection.
    bool send(const Header& header, const std::vector<uint8_t>& payload, int fd) {
        bool sent = platform::wire::send_message(fd_, header, payload.data(), payload.size(), fd);
        if (fd >= 0) close(fd);
        if (!sent) return false;
        if (header.type == Type::Mapped) return true;
        std::unique_lock lock(lock_);
        answered_.wait(lock, [&] { return gone_ || answers_.count(header.id) != 0; });
        return answers_.count(header.id) != 0;
    }
    void send_raw(const std::vector<uint8_t>& bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

    uint64_t handle(size_t index) {
        std::lock_guard lock(lock_);
        return handles_.empty() ? 0 : handles_[index % handles_.size()];
    }

private:
    void reader_main() {
        Message message;
        while (platform::wire::receive_message(fd_, &message)) {
            if (message.header.type == Type::Map) {
                map(message);
            } else if (message.header.type == Type::Unmap) {
                unmap(reinterpret_cast<void*>(message.header.value));
            } else {
                if (message.fd >= 0) close(message.fd);
                std::lock_guard lock(lock_);
                if (message.header.handle != 0) handles_.push_back(message.header.handle);
                if (message.header.type != Type::Completed) answers_[message.header.id] = message.header.status;
                answered_.notify_all();
            }
            message = Message{};
        }
        std::lock_guard lock(lock_);
        gone_ = true;
        answered_.notify_all();
    }

    void map(const Message& message) {
        Header answer{};
        answer.type = Type::Mapped;
        answer.id = message.header.id;
        void* address = mmap(nullptr, message.header.length1, PROT_READ | PROT_WRITE, MAP_SHARED, message.fd, 0);
        if (message.fd >= 0) close(message.fd);
        if (address == MAP_FAILED) {
            answer.status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            answer.value = reinterpret_cast<uint64_t>(address);
            std::lock_guard lock(lock_);
            mappings_[address] = message.header.length1;
        }
        platform::wire::send_message(fd_, answer, nullptr, 0);
    }

    void unmap(void* address) {
        std::lock_guard lock(lock_);
        auto it = mappings_.find(address);
        if (it == mappings_.end()) return;
        munmap(it->first, it->second);
        mappings_.erase(it);
    }

    int fd_ = -1;
    std::thread reader_;
    std::mutex lock_;
    std::condition_variable answered_;
    std::map<uint64_t, NTSTATUS> answers_;  // guarded by lock_
    std::vector<uint64_t> handles_;         // guarded by lock_
    std::map<void*, size_t> mappings_;      // guarded by lock_
    bool gone_ = false;                     // guarded by lock_
};

// One message from the input.
void SendOne(Client& client, Reader& in, uint64_t id, const std::vector<std::u16string>& paths) {
    uint8_t shape = in.u8();
    Header h{};
    h.type = (shape & 0x80) != 0 ? static_cast<Type>(in.u32()) : kTypes[in.pick(std::size(kTypes))];
    h.id = id;
    h.thread = 1 + in.u8() % 6;
    h.handle = (shape & 0x40) != 0 ? in.u64() : client.handle(in.u8());
    h.status = static_cast<int32_t>(in.u32());
    h.value = in.u64();
    h.code = (shape & 0x20) != 0 ? in.u32() : kCodes[in.pick(std::size(kCodes))];
    h.length1 = (shape & 0x10) != 0 ? in.u32() : in.u16();
    h.length2 = (shape & 0x08) != 0 ? in.u32() : in.u16();
    h.flags = in.u8() % 4;
    if (h.type == Type::Hello && (shape & 0x04) == 0) h.code = platform::wire::kProtocolVersion;
    std::vector<uint8_t> payload;
    if (h.type == Type::CreateFile && (shape & 0x02) == 0) {
        payload = platform::wire::to_bytes(paths[in.pick(paths.size())]);
    } else {
        payload = in.bytes(in.u16() % kMaxPayloadFromInput);
    }
    if (h.type == Type::Ioctl && (shape & 0x02) == 0) h.length1 = static_cast<uint32_t>(payload.size());
    int fd = -1;
    if ((shape & 0x01) != 0) fd = (in.u8() & 1) != 0 ? eventfd(0, EFD_CLOEXEC) : memfd_create("fuzz", MFD_CLOEXEC);
    client.send(h, payload, fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vexa::fuzz::KeepImagesLoaded({VEXA_DRIVER_DIR "/QUVVexaUSBRoot.so", VEXA_USB_DRIVER_DIR "/QUVVexaUSBDevice.so"});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vexa::fuzz::PoolBalance pool;
    size_t descriptors = OpenDescriptors();
    {
        vexa::test::TempDir dir;
        std::string path = (dir.path() / "machine.sock").string();
        vexa::test::RootMachine root(VEXA_DRIVER_DIR, {}, VEXA_USB_DRIVER_DIR);
        root.ports().plug(platform::device::VexaModel::CantileQe);
        std::vector<std::u16string> paths{u"\\??\\MrakDriverLogger", u"\\??\\NOTHING"};
        {
            platform::win32::ScopedProcess as(platform::win32::create_local_process(false, "finder"));
            paths.push_back(NtPath(vexa::test::InterfacePath(GUID_DEVINTERFACE_PAL)));
            paths.push_back(NtPath(vexa::test::InterfacePath(GUID_DEVINTERFACE_ASIO)));
        }
        platform::SocketServer server(path);
        std::string error;
        if (!server.start(&error)) Fail("cannot serve: " + error);
        {
            Client client(path);
            Reader in(data, size);
            for (uint64_t id = 1; id <= kMaxMessages && !in.empty(); ++id) {
                if (in.u8() == 0xFF) {
                    client.send_raw(in.bytes(in.u8()));  // not a message: the machine drops the connection
                    break;
                }
                SendOne(client, in, id, paths);
            }
        }
        // The connection has closed: its process must end.
        server.wait_for_connections(0);
        // Another client is served as before.
        std::string refused;
        auto process = platform::win32::connect_to_machine(path, false, "after", &refused);
        if (!process) Fail("the machine refused a client after the input: " + refused);
        {
            platform::win32::ScopedProcess as(process);
            HANDLE pal = vexa::test::OpenPal();
            if (pal == INVALID_HANDLE_VALUE) Fail("the PAL interface did not open after the input");
            uint8_t reply[sizeof(vexa::pal::ApiVersionReply)];
            if (vexa::test::Send(pal, vexa::pal::kIoctlGetApiVersion, nullptr, 0, reply, sizeof(reply)).status !=
                STATUS_SUCCESS) {
                Fail("the version request failed after the input");
            }
            CloseHandle(pal);
        }
        process.reset();
        server.stop();
    }
    if (OpenDescriptors() != descriptors) Fail("the machine holds descriptors the input left");
    pool.check();
    return 0;
}

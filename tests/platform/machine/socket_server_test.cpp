// The machine's socket server against a client that does not play by the
// client library's rules: lengths it names, descriptors it attaches, thread
// ids it invents and answers too large for one packet. The client here
// speaks the wire protocol by hand.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "platform/kernel/fault.h"
#include "platform/machine/device_interfaces.h"
#include "platform/machine/interface_subscriptions.h"
#include "platform/machine/logger_protocol.h"
#include "platform/machine/socket_protocol.h"
#include "platform/machine/socket_server.h"
#include "support/root_machine.h"
#include "support/temp_dir.h"

namespace {

using platform::wire::Header;
using platform::wire::Message;
using platform::wire::Type;
using vexa::test::RootMachine;
using vexa::test::TempDir;

constexpr const char16_t* kLoggerPath = u"\\??\\MrakDriverLogger";
constexpr uint64_t kMainThread = 1;

size_t OpenDescriptors() {
    size_t count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.' ? 1 : 0;
    closedir(dir);
    return count;
}

// One connection, spoken by hand.
class RawClient {
public:
    explicit RawClient(const std::string& path) {
        fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~RawClient() { close(fd_); }

    bool connected() const { return connected_; }

    bool send(Header header, const std::vector<uint8_t>& payload = {}, int fd = -1) {
        if (header.thread == 0) header.thread = kMainThread;
        return platform::wire::send_message(fd_, header, payload.data(), payload.size(), fd);
    }
    Message receive() {
        Message message;
        EXPECT_TRUE(platform::wire::receive_message(fd_, &message)) << "the machine closed the connection";
        return message;
    }
    // Sends and takes the next message, which must answer it.
    Message call(Header header, const std::vector<uint8_t>& payload = {}, int fd = -1) {
        header.id = nextId_++;
        EXPECT_TRUE(send(header, payload, fd));
        Message answer = receive();
        EXPECT_EQ(answer.header.id, header.id);
        return answer;
    }
    void hello() {
        Header h{};
        h.type = Type::Hello;
        h.code = platform::wire::kProtocolVersion;
        ASSERT_EQ(call(h).header.status, STATUS_SUCCESS);
    }
    uint64_t open_logger() {
        Header h{};
        h.type = Type::CreateFile;
        Message answer = call(h, platform::wire::to_bytes(kLoggerPath));
        EXPECT_EQ(answer.header.status, STATUS_SUCCESS);
        return answer.header.handle;
    }
    uint64_t next_id() { return nextId_++; }

private:
    int fd_ = -1;
    bool connected_ = false;
    uint64_t nextId_ = 1;
};

class SocketServerTest : public ::testing::Test {
protected:
    SocketServerTest() : root_(VEXA_TEST_DRIVER_DIR), server_(path()) {
        std::string error;
        EXPECT_TRUE(server_.start(&error)) << error;
    }
    ~SocketServerTest() override { platform::fault::clear(); }

    std::string path() const { return (dir_.path() / "machine.sock").string(); }

    Header ioctl(uint64_t handle, uint32_t code, uint32_t inputBytes, uint32_t outputBytes) {
        Header h{};
        h.type = Type::Ioctl;
        h.handle = handle;
        h.code = code;
        h.length1 = inputBytes;
        h.length2 = outputBytes;
        return h;
    }

    TempDir dir_;
    RootMachine root_;
    platform::SocketServer server_;
};

// Client-named lengths past one message's payload are refused, never allocated
// (gigabytes zeroed twice killed the machine); the largest that fits is served.
TEST_F(SocketServerTest, LengthsBeyondOneMessageAreRefused) {
    RawClient client(path());
    ASSERT_TRUE(client.connected());
    client.hello();
    uint64_t logger = client.open_logger();
    struct Case {
        uint32_t inputBytes;
        uint32_t outputBytes;
        NTSTATUS expected;
    };
    constexpr uint32_t kMax = platform::wire::kMaxPayload;
    const Case cases[] = {
        {0, 0xFFFFFFF0u, STATUS_INVALID_BUFFER_SIZE},
        {0x80000000u, 16, STATUS_INVALID_BUFFER_SIZE},
        {0, kMax + 1, STATUS_INVALID_BUFFER_SIZE},
        {kMax + 1, 16, STATUS_INVALID_BUFFER_SIZE},
        {0, kMax, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        Message answer = client.call(ioctl(logger, vexa::log::kIoctlLoggerVersion, c.inputBytes, c.outputBytes));
        EXPECT_EQ(answer.header.status, c.expected) << c.inputBytes << " in, " << c.outputBytes << " out";
        if (c.expected == STATUS_SUCCESS) {
            EXPECT_EQ(answer.header.type, Type::Dispatched);
            EXPECT_EQ(answer.payload.size(), sizeof(vexa::log::LoggerVersionInfo));
        } else {
            EXPECT_TRUE(answer.payload.empty());
        }
    }
}

// A system buffer the machine cannot allocate fails the request with
// STATUS_INSUFFICIENT_RESOURCES on both roads (it threw out of the I/O manager).
TEST_F(SocketServerTest, UnallocatableSystemBufferFailsTheRequest) {
    RawClient client(path());
    ASSERT_TRUE(client.connected());
    client.hello();
    uint64_t logger = client.open_logger();
    platform::fault::inject("SystemBuffer", STATUS_INSUFFICIENT_RESOURCES);
    Message answer = client.call(ioctl(logger, vexa::log::kIoctlLoggerVersion, 0, 64));
    EXPECT_EQ(answer.header.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(answer.payload.empty());

    auto local = platform::win32::create_local_process(false, "test");
    platform::win32::ScopedProcess as(local);
    HANDLE handle = CreateFileW(u"\\\\.\\MrakDriverLogger", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    platform::fault::inject("SystemBuffer", STATUS_INSUFFICIENT_RESOURCES);
    uint8_t out[64];
    DWORD bytes = 0;
    EXPECT_FALSE(DeviceIoControl(handle, vexa::log::kIoctlLoggerVersion, nullptr, 0, out, sizeof(out), &bytes, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NO_SYSTEM_RESOURCES);
    EXPECT_TRUE(DeviceIoControl(handle, vexa::log::kIoctlLoggerVersion, nullptr, 0, out, sizeof(out), &bytes, nullptr));
    CloseHandle(handle);
}

// An answer too large for one packet is answered with an error status; it
// was dropped, and the client's request never completed.
TEST_F(SocketServerTest, AnswerTooLargeForOnePacketFailsTheRequest) {
    const GUID manyLinks{0x5e1f0001, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}};
    constexpr size_t kReferenceChars = 40000;  // three links are past one packet
    platform::DeviceInterfaces& interfaces = root_.machine().interfaces();
    for (char16_t letter : {u'a', u'b', u'c'}) {
        uint64_t id = interfaces.add(manyLinks, &root_.root_node().pdo, std::u16string(kReferenceChars, letter));
        ASSERT_NE(id, 0u);
        interfaces.set_enabled(id, true);
    }
    RawClient client(path());
    ASSERT_TRUE(client.connected());
    client.hello();
    Header list{};
    list.type = Type::Interfaces;
    list.id = client.next_id();
    ASSERT_TRUE(client.send(list, std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(&manyLinks),
                                                       reinterpret_cast<const uint8_t*>(&manyLinks) + sizeof(GUID))));
    // A second request on the same thread: its answer must not be the first to arrive.
    Header second{};
    second.type = Type::Close;
    second.id = client.next_id();
    second.handle = 0x7770;
    ASSERT_TRUE(client.send(second));
    Message first = client.receive();
    ASSERT_EQ(first.header.id, list.id) << "the list's answer was lost";
    EXPECT_EQ(first.header.status, STATUS_INVALID_BUFFER_SIZE);
    EXPECT_TRUE(first.payload.empty());
    EXPECT_EQ(client.receive().header.id, second.id);
}

// Descriptors attached to messages that take none are closed by the machine
// (they were kept for ever, so a client could exhaust its descriptors).
TEST_F(SocketServerTest, DescriptorsNoMessageTakesAreClosed) {
    RawClient client(path());
    ASSERT_TRUE(client.connected());
    client.hello();
    uint64_t logger = client.open_logger();
    size_t before = OpenDescriptors();
    int event = eventfd(0, EFD_CLOEXEC);
    const Type kinds[] = {Type::Hello, Type::CreateFile, Type::Close, Type::Ioctl, Type::Cancel, Type::Interfaces};
    constexpr int kRounds = 20;
    for (int round = 0; round < kRounds; ++round) {
        for (Type kind : kinds) {
            Header h{};
            h.type = kind;
            h.code = kind == Type::Hello ? platform::wire::kProtocolVersion : vexa::log::kIoctlLoggerVersion;
            h.handle = kind == Type::Ioctl ? logger : 0x7770;
            h.length2 = kind == Type::Ioctl ? 16 : 0;
            client.call(h, {}, event);
        }
        // No answer comes to these: the next request's answer shows they were read.
        Header mapped{};
        mapped.type = Type::Mapped;
        mapped.id = 1000 + static_cast<uint64_t>(round);
        ASSERT_TRUE(client.send(mapped, {}, event));
    }
    Header closeLogger{};
    closeLogger.type = Type::Close;
    closeLogger.handle = logger;
    EXPECT_EQ(client.call(closeLogger).header.status, STATUS_SUCCESS);
    close(event);
    EXPECT_EQ(OpenDescriptors(), before);
}

// A client naming more threads at once than the limit has the further ones
// refused (each was given a thread, without limit); the busy ones are served
// and a thread id is free again once its requests are done.
TEST_F(SocketServerTest, WorkersPerConnectionAreCapped) {
    RawClient client(path());
    ASSERT_TRUE(client.connected());
    client.hello();
    uint64_t logger = client.open_logger();
    constexpr size_t kLimit = platform::SocketServer::kMaxWorkersPerConnection;
    constexpr uint64_t kFirstThread = 1000;
    constexpr uint64_t kFirstId = 5000;
    std::vector<uint8_t> tag(4);
    std::memcpy(tag.data(), &vexa::log::kRingTagStandard, 4);
    // Each mapping request waits in its worker: the first for this client's
    // answer to the machine's Map, the others behind it (the logger maps a
    // ring once per process), so every worker is busy when the last id comes.
    for (uint64_t t = 0; t <= kLimit; ++t) {
        Header h = ioctl(logger, vexa::log::kIoctlLoggerMapRingUser, 4, 8);
        h.thread = kFirstThread + t;
        h.id = kFirstId + t;
        ASSERT_TRUE(client.send(h, tag));
    }
    // Until the refusal is in, no Map is answered: no worker can free up.
    std::vector<Message> pendingMaps;
    std::vector<Message> refusals;
    while (refusals.empty()) {
        Message message = client.receive();
        if (message.fd >= 0) close(message.fd);
        (message.header.type == Type::Map ? pendingMaps : refusals).push_back(std::move(message));
    }
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_EQ(refusals[0].header.id, kFirstId + kLimit);
    EXPECT_EQ(refusals[0].header.status, STATUS_INSUFFICIENT_RESOURCES);
    // Now each Map is refused in turn; every busy request is served.
    size_t served = 0;
    size_t maps = 0;
    auto answer = [&](const Message& map) {
        Header reply{};
        reply.type = Type::Mapped;
        reply.id = map.header.id;
        reply.status = STATUS_INSUFFICIENT_RESOURCES;
        ASSERT_TRUE(client.send(reply));
        ++maps;
    };
    for (const Message& map : pendingMaps) answer(map);
    while (served < kLimit) {
        Message message = client.receive();
        if (message.fd >= 0) close(message.fd);
        if (message.header.type == Type::Map) {
            answer(message);
            continue;
        }
        EXPECT_EQ(message.header.type, Type::Dispatched);
        EXPECT_EQ(message.header.status, STATUS_INSUFFICIENT_RESOURCES);
        ++served;
    }
    EXPECT_EQ(maps, kLimit);
    // The refused thread id is served now that the others are done.
    Header again = ioctl(logger, vexa::log::kIoctlLoggerVersion, 0, 16);
    again.thread = kFirstThread + kLimit;
    EXPECT_EQ(client.call(again).header.status, STATUS_SUCCESS);
}

}  // namespace

// Device-interface subscriptions from a hand-written client: a malformed one
// refused, each change pushed with its subscription's id and the arrival
// flag after the reply that made it, none once unsubscribed, an unknown id
// refused, and no more at once than the limit (each cost the machine a listener).
TEST_F(SocketServerTest, InterfaceSubscriptionsPushChangesUntilUnsubscribed) {
    const GUID watched{0x5e1f0002, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}};
    const std::vector<uint8_t> classBytes(reinterpret_cast<const uint8_t*>(&watched),
                                          reinterpret_cast<const uint8_t*>(&watched) + sizeof(GUID));
    RawClient client(path());
    ASSERT_TRUE(client.connected());
    client.hello();
    Header subscribe{};
    subscribe.type = Type::Subscribe;
    EXPECT_EQ(client.call(subscribe, {1, 2, 3}).header.status, STATUS_INVALID_PARAMETER);
    Message made = client.call(subscribe, classBytes);
    ASSERT_EQ(made.header.status, STATUS_SUCCESS);
    uint64_t subscription = made.header.value;
    ASSERT_NE(subscription, 0u);

    platform::DeviceInterfaces& interfaces = root_.machine().interfaces();
    uint64_t id = interfaces.add(watched, &root_.root_node().pdo, u"Watched");
    uint64_t other = interfaces.add(GUID{}, &root_.root_node().pdo, u"Other");
    interfaces.set_enabled(other, true);  // another class: nothing pushed
    interfaces.set_enabled(id, true);
    interfaces.set_enabled(id, false);
    for (bool arrived : {true, false}) {
        Message change = client.receive();
        ASSERT_EQ(change.header.type, Type::InterfaceChanged);
        EXPECT_EQ(change.header.value, subscription);
        EXPECT_EQ(change.header.flags, arrived ? platform::wire::kFlagArrival : 0u);
        GUID interfaceClass{};
        std::u16string link;
        ASSERT_TRUE(platform::wire::decode_interface_change(change.payload, &interfaceClass, &link));
        EXPECT_TRUE(interfaceClass == watched);
        EXPECT_EQ(link.substr(link.size() - 8), u"\\Watched");
    }

    Header unsubscribe{};
    unsubscribe.type = Type::Unsubscribe;
    unsubscribe.value = subscription;
    EXPECT_EQ(client.call(unsubscribe).header.status, STATUS_SUCCESS);
    EXPECT_EQ(client.call(unsubscribe).header.status, STATUS_INVALID_PARAMETER) << "already gone";
    interfaces.set_enabled(id, true);
    // The next message is the answer to this request, not a change of the old subscription.
    Header close{};
    close.type = Type::Close;
    close.handle = 0x7770;
    EXPECT_EQ(client.call(close).header.type, Type::Reply);

    for (size_t i = 0; i < platform::InterfaceSubscriptions::kMaxPerConnection; ++i) {
        ASSERT_EQ(client.call(subscribe, classBytes).header.status, STATUS_SUCCESS);
    }
    Message refused = client.call(subscribe, classBytes);
    EXPECT_EQ(refused.header.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(refused.header.value, 0u);
}

// The Win32 layer over both roads into the machine: a process in this
// program, and one behind the machine's socket (served here, so the test
// sees both ends). The root driver's test image is the device they talk to.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "platform/kernel/fault.h"
#include "platform/kernel/ntddk.h"
#include "platform/machine/logger_driver.h"
#include "platform/machine/process.h"
#include "platform/machine/socket_protocol.h"
#include "platform/machine/socket_server.h"
#include "support/root_machine.h"
#include "support/temp_dir.h"

namespace {

using namespace vexa::pal;
using namespace vexa::test;
using platform::win32::UserProcess;

enum class Road { Local, Socket };

// Whether the thread `tid` of this program is blocked in poll (the system call it sleeps in, as the kernel shows it).
bool SleepsInPoll(pid_t tid) {
    std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long call = -1;
    return file >> call && (call == SYS_poll || call == SYS_ppoll);
}

// Until `done` holds, without sleeping; false after 20 s.
template <typename Predicate>
bool WaitUntil(Predicate done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

class Win32Test : public ::testing::TestWithParam<Road> {
protected:
    Win32Test() : root_(VEXA_TEST_DRIVER_DIR) {
        if (GetParam() == Road::Socket) {
            server_ = std::make_unique<platform::SocketServer>((dir_.path() / "machine.sock").string());
            std::string error;
            EXPECT_TRUE(server_->start(&error)) << error;
        }
        process_ = make_process(false);
        platform::win32::set_default_process(process_);
    }
    ~Win32Test() override {
        platform::win32::set_default_process(nullptr);
        process_.reset();
        server_.reset();
    }

    std::shared_ptr<UserProcess> make_process(bool is32Bit) {
        if (GetParam() == Road::Local) return platform::win32::create_local_process(is32Bit, "test");
        std::string error;
        auto process = platform::win32::connect_to_machine((dir_.path() / "machine.sock").string(), is32Bit, "test",
                                                           &error);
        EXPECT_TRUE(process) << error;
        return process;
    }

    // Waits until the machine has finished with processes that went away.
    void settle(size_t remaining) {
        if (server_) server_->wait_for_connections(remaining);
    }

    HANDLE registered() {
        HANDLE pal = OpenPal();
        EXPECT_EQ(Bus(pal, kDcpBusRegisterClient).status, STATUS_SUCCESS);
        return pal;
    }

    TempDir dir_;
    RootMachine root_;
    std::unique_ptr<platform::SocketServer> server_;
    std::shared_ptr<UserProcess> process_;
};

// The version request and the output-length rule: the caller receives what its output length asks for.
TEST_P(Win32Test, BufferedRequestsReturnWhatTheOutputAsks) {
    HANDLE pal = OpenPal();
    ASSERT_NE(pal, INVALID_HANDLE_VALUE);
    uint8_t out[24];
    std::memset(out, 0xEE, sizeof(out));
    DWORD bytes = 0;
    ASSERT_TRUE(DeviceIoControl(pal, kIoctlGetApiVersion, nullptr, 0, out, sizeof(out), &bytes, nullptr));
    EXPECT_EQ(bytes, 24u);
    EXPECT_EQ(U32(std::vector<uint8_t>(out, out + 4), 0), 0x7001u);
    // A refused request delivers nothing and says why.
    std::memset(out, 0xEE, sizeof(out));
    EXPECT_FALSE(DeviceIoControl(pal, kIoctlGetApiVersion, nullptr, 0, out, 15, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_EQ(bytes, 0u);
    EXPECT_FALSE(DeviceIoControl(reinterpret_cast<HANDLE>(0x7770), kIoctlGetApiVersion, nullptr, 0, out, 16, &bytes,
                                 nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    CloseHandle(pal);
    HANDLE missing = CreateFileW(u"\\\\?\\ROOT#NOTHING#0000#{00000000-0000-0000-0000-000000000000}\\PAL",
                                 GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(missing, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

// Opening an existing device "always" succeeds and leaves ERROR_ALREADY_EXISTS behind, as Windows
// does: a caller that judged the open by the last error would take a good handle for a failure.
TEST_P(Win32Test, OpeningADeviceAlwaysLeavesAlreadyExists) {
    std::u16string path = InterfacePath(GUID_DEVINTERFACE_PAL);
    SetLastError(ERROR_GEN_FAILURE);
    HANDLE pal = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    ASSERT_NE(pal, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    CloseHandle(pal);
    SetLastError(ERROR_GEN_FAILURE);
    pal = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(pal, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    CloseHandle(pal);
}

// A pended request completes later into the caller's buffers and OVERLAPPED, from another thread.
TEST_P(Win32Test, PendedRequestsCompleteLater) {
    HANDLE pal = registered();
    Wait wait(pal);
    ASSERT_EQ(wait.startError, ERROR_IO_PENDING);
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(pal, &wait.overlapped, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    std::thread notifier([&] { root_.notify(kPalNotifyDeviceEvent, 77, 3); });
    EXPECT_EQ(wait.finish(), STATUS_SUCCESS);
    notifier.join();
    EXPECT_EQ(wait.record.kind, kPalNotifyDeviceEvent);
    EXPECT_EQ(wait.record.param64, 77u);
    CloseHandle(pal);
}

// A wait that fails (fault "GetOverlappedResultWait") says why and leaves the request pending: the driver still
// completes it into its OVERLAPPED and buffer, so its caller may not let them go before a later wait has seen it.
TEST_P(Win32Test, AFailedWaitLeavesTheRequestPending) {
    HANDLE pal = registered();
    Wait wait(pal);
    ASSERT_EQ(wait.startError, ERROR_IO_PENDING);
    platform::fault::inject("GetOverlappedResultWait", STATUS_INVALID_HANDLE);
    DWORD bytes = 7;
    EXPECT_FALSE(GetOverlappedResult(pal, &wait.overlapped, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(wait.pending());
    EXPECT_FALSE(GetOverlappedResult(pal, &wait.overlapped, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    platform::fault::clear();
    std::thread notifier([&] { root_.notify(kPalNotifyDeviceEvent, 78, 4); });
    EXPECT_EQ(wait.finish(), STATUS_SUCCESS);
    notifier.join();
    EXPECT_EQ(wait.record.param64, 78u);
    CloseHandle(pal);
}

// The two request faults: one refuses at once, the other pends first and fails later; neither reaches the driver.
TEST_P(Win32Test, RequestFaultsFailAtOnceOrAfterPending) {
    HANDLE pal = OpenPal();
    for (bool pended : {false, true}) {
        platform::fault::inject(pended ? "DeviceIoControlPended" : "DeviceIoControl", STATUS_CRC_ERROR);
        ApiVersionReply reply{};
        OVERLAPPED overlapped{};
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD bytes = 7;
        EXPECT_FALSE(DeviceIoControl(pal, kIoctlGetApiVersion, nullptr, 0, &reply, sizeof(reply), &bytes, &overlapped));
        EXPECT_EQ(GetLastError(), pended ? ERROR_IO_PENDING : ERROR_CRC) << pended;
        EXPECT_FALSE(GetOverlappedResult(pal, &overlapped, &bytes, TRUE));
        EXPECT_EQ(GetLastError(), ERROR_CRC);
        EXPECT_EQ(bytes, 0u);
        EXPECT_EQ(reply.ioctlAPIVersion, 0u) << "the driver never saw it";
        CloseHandle(overlapped.hEvent);
        // The next request is the driver's again.
        EXPECT_TRUE(DeviceIoControl(pal, kIoctlGetApiVersion, nullptr, 0, &reply, sizeof(reply), &bytes, nullptr));
        EXPECT_EQ(reply.ioctlAPIVersion, 0x7001u);
    }
    CloseHandle(pal);
}

// CancelIo cancels only the calling thread's requests; CancelIoEx those of every thread.
TEST_P(Win32Test, CancelIoIsPerThread) {
    HANDLE pal = registered();
    std::unique_ptr<Wait> wait;
    std::mutex lock;
    std::condition_variable step;
    int stage = 0;
    std::thread owner([&] {
        wait = std::make_unique<Wait>(pal);
        std::unique_lock guard(lock);
        stage = 1;
        step.notify_all();
        step.wait(guard, [&] { return stage == 2; });
        CancelIo(pal);
    });
    {
        std::unique_lock guard(lock);
        step.wait(guard, [&] { return stage == 1; });
    }
    CancelIo(pal);  // not this thread's request
    EXPECT_TRUE(wait->pending());
    {
        std::lock_guard guard(lock);
        stage = 2;
        step.notify_all();
    }
    owner.join();
    EXPECT_EQ(wait->finish(), STATUS_CANCELLED);

    Wait other(pal);
    EXPECT_TRUE(CancelIoEx(pal, nullptr));
    EXPECT_EQ(other.finish(), STATUS_CANCELLED);
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(pal, &other.overlapped, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    CloseHandle(pal);
}

// A process that ends has its requests cancelled and its handles closed: its PAL slot is free again.
TEST_P(Win32Test, EndingAProcessClosesItsHandles) {
    auto other = make_process(false);
    std::unique_ptr<Wait> pending;
    {
        platform::win32::ScopedProcess as(other);
        pending = std::make_unique<Wait>(registered());
    }
    other->end();
    settle(1);
    {
        // The wait ended with its process (cancelled, or its machine gone from the process's side).
        platform::win32::ScopedProcess as(other);
        EXPECT_NE(pending->finish(), STATUS_SUCCESS);
        pending.reset();
    }
    std::vector<HANDLE> clients;
    for (int i = 0; i < 5; ++i) clients.push_back(registered());
    EXPECT_EQ(Bus(OpenPal(), kDcpBusRegisterClient).status, STATUS_INSUFFICIENT_RESOURCES);
    for (HANDLE h : clients) CloseHandle(h);
}

// The kernel can take a process's event by handle and signal it; the process's wait sees it.
TEST_P(Win32Test, KernelSignalsAUserEvent) {
    HANDLE autoReset = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE manual = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(autoReset, nullptr);
    auto process = root_.machine().processes().find(GetCurrentProcessId());
    ASSERT_TRUE(process);
    for (HANDLE handle : {autoReset, manual}) {
        platform::CurrentProcessScope scope(process.get());
        PVOID object = nullptr;
        ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, *ExEventObjectType, UserMode, &object, nullptr), STATUS_SUCCESS);
        KeSetEvent(static_cast<KEVENT*>(object), 8, FALSE);
        ObDereferenceObject(object);
    }
    EXPECT_EQ(WaitForSingleObject(autoReset, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoReset, 0), WAIT_TIMEOUT) << "an auto-reset event releases one wait";
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0) << "a manual-reset event stays set";
    EXPECT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 1), WAIT_TIMEOUT);
    std::thread setter([&] { SetEvent(autoReset); });
    EXPECT_EQ(WaitForSingleObject(autoReset, INFINITE), WAIT_OBJECT_0);
    setter.join();
    CloseHandle(autoReset);
    CloseHandle(manual);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_FAILED);
}

// The machine behind the socket gone (killed, say): the events its handles named went with it, so a wait on them
// fails, a wait already under way included, instead of waiting for ever for a signal no one can send any more.
TEST_P(Win32Test, AWaitEndsWhenTheMachineGoes) {
    if (GetParam() != Road::Socket) GTEST_SKIP() << "socket road only";
    HANDLE events[2] = {CreateEventW(nullptr, FALSE, FALSE, nullptr), CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    ASSERT_NE(events[0], nullptr);
    ASSERT_NE(events[1], nullptr);
    ASSERT_TRUE(SetEvent(events[1]));
    EXPECT_EQ(WaitForMultipleObjects(2, events, FALSE, 0), WAIT_OBJECT_0 + 1) << "a live machine's event";
    ASSERT_TRUE(ResetEvent(events[1]));
    DWORD waited = 0;
    DWORD error = 0;
    std::atomic<pid_t> waiterId{0};
    constexpr DWORD kPatienceMs = 20000;  // far beyond the machine's going: only a wait that never ends reaches it
    std::thread waiter([&] {
        waiterId = static_cast<pid_t>(syscall(SYS_gettid));
        waited = WaitForMultipleObjects(2, events, FALSE, kPatienceMs);
        error = GetLastError();
    });
    // The machine goes only once the wait sleeps in the kernel, not before it began.
    ASSERT_TRUE(WaitUntil([&] { return waiterId.load() != 0 && SleepsInPoll(waiterId.load()); }));
    server_->stop();
    waiter.join();
    EXPECT_EQ(waited, WAIT_FAILED);
    EXPECT_EQ(error, ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(events[0], 0), WAIT_FAILED) << "and every later one";
    EXPECT_FALSE(SetEvent(events[0])) << "nothing left to set";
}

// The logger's rings map into the process: the mapping shares the logger's memory.
TEST_P(Win32Test, LoggerRingMapsIntoTheProcess) {
    HANDLE logger = CreateFileW(u"\\\\.\\MrakDriverLogger", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0,
                                nullptr);
    ASSERT_NE(logger, INVALID_HANDLE_VALUE);
    uint32_t tag = vexa::log::kRingTagStandard;
    uint64_t address = 0;
    DWORD bytes = 0;
    ASSERT_TRUE(DeviceIoControl(logger, vexa::log::kIoctlLoggerMapRingUser, &tag, 4, &address, 8, &bytes, nullptr));
    auto* mapped = reinterpret_cast<vexa::log::LogRingHeader*>(address);
    vexa::log::LogRingHeader* kernel = root_.machine().logger().header(tag);
    ASSERT_NE(mapped, kernel) << "the process has a mapping of its own";
    EXPECT_EQ(mapped->indexMask, kernel->indexMask);
    uint32_t before = __atomic_load_n(&mapped->writeCount, __ATOMIC_ACQUIRE);
    vexa::log::LogWriteRequest write{tag, 0, {0x1234, vexa::log::kLogInfo, 0, 1, 2, 3, 4}};
    uint32_t ignored = 0;
    ASSERT_TRUE(DeviceIoControl(logger, vexa::log::kIoctlLoggerWrite, &write, sizeof(write), &ignored, 4, &bytes,
                                nullptr));
    EXPECT_EQ(__atomic_load_n(&mapped->writeCount, __ATOMIC_ACQUIRE), before + 1);
    CloseHandle(logger);
}

// SetupAPI reports the size a path needs and where the list ends.
TEST_P(Win32Test, SetupApiEnumeratesPresentInterfaces) {
    HDEVINFO devices = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_ASIO, nullptr, nullptr,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(devices, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(devices, nullptr, &GUID_DEVINTERFACE_ASIO, 0, &data));
    DWORD needed = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(devices, &data, nullptr, 0, &needed, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    std::vector<uint8_t> storage(needed);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(devices, &data, detail, needed - 1, nullptr, nullptr));
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(devices, &data, detail, needed, nullptr, nullptr));
    std::u16string path = detail->DevicePath;
    EXPECT_EQ(path.substr(0, 4), u"\\\\?\\");
    EXPECT_EQ(path.substr(path.size() - 5), u"\\ASIO");
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(devices, nullptr, &GUID_DEVINTERFACE_ASIO, 1, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(devices));
    GUID unknown{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    devices = SetupDiGetClassDevsW(&unknown, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(devices, nullptr, &unknown, 0, &data));
    SetupDiDestroyDeviceInfoList(devices);
}

// The "A" forms report the same interfaces with the path in the ANSI code page, and CreateFileA opens it.
TEST_P(Win32Test, SetupApiAnsiFormsOpenTheSamePath) {
    HDEVINFO devices = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_ASIO, nullptr, nullptr,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(devices, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(devices, nullptr, &GUID_DEVINTERFACE_ASIO, 0, &data));
    uint8_t storage[256] = {};
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage);
    detail->cbSize = 8;
    DWORD needed = 0;
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(devices, &data, detail, sizeof(storage), &needed, nullptr));
    std::string path = detail->DevicePath;
    EXPECT_EQ(needed, 4 + path.size() + 1) << "the fixed part and the path's bytes with the NUL";
    EXPECT_EQ(path.substr(0, 4), "\\\\?\\");
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(devices, &data, detail, needed - 1, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    detail->cbSize = 6;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(devices, &data, detail, sizeof(storage), nullptr, nullptr))
        << "the detail's size field must be the fixed part's";
    SetupDiDestroyDeviceInfoList(devices);
    HANDLE asio = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(asio, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(CloseHandle(asio));
}

// A process's bitness reaches the driver: a 32-bit host's open is served like any other.
TEST_P(Win32Test, ProcessesHaveIdsAndBitness) {
    auto wide = make_process(false);
    auto narrow = make_process(true);
    EXPECT_NE(wide->process_id(), narrow->process_id());
    EXPECT_TRUE(narrow->is_32bit());
    EXPECT_FALSE(wide->is_32bit());
    auto kernelSide = root_.machine().processes().find(narrow->process_id());
    ASSERT_TRUE(kernelSide);
    EXPECT_TRUE(kernelSide->is_32bit());
}

// A connection that sends something that is not a message is dropped; the machine serves the others.
TEST_P(Win32Test, GarbageOnTheSocketDropsOnlyThatConnection) {
    if (GetParam() != Road::Socket) GTEST_SKIP() << "socket road only";
    int raw = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = (dir_.path() / "machine.sock").string();
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(connect(raw, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    // A request before hello is answered with a refusal, not left hanging.
    platform::wire::Header early{};
    early.type = platform::wire::Type::CreateFile;
    early.id = 1;
    ASSERT_TRUE(platform::wire::send_message(raw, early, nullptr, 0));
    platform::wire::Message answer;
    ASSERT_TRUE(platform::wire::receive_message(raw, &answer));
    EXPECT_EQ(answer.header.id, 1u);
    EXPECT_EQ(answer.header.status, STATUS_INVALID_DEVICE_STATE);
    const char junk[5] = "junk";  // shorter than any header
    ASSERT_EQ(send(raw, junk, sizeof(junk), MSG_NOSIGNAL), static_cast<ssize_t>(sizeof(junk)));
    settle(1);
    EXPECT_FALSE(platform::wire::receive_message(raw, &answer)) << "the machine closed that connection";
    close(raw);
    HANDLE pal = OpenPal();
    uint8_t out[16];
    EXPECT_EQ(Send(pal, kIoctlGetApiVersion, nullptr, 0, out, sizeof(out)).status, STATUS_SUCCESS);
    CloseHandle(pal);
}

INSTANTIATE_TEST_SUITE_P(Roads, Win32Test, ::testing::Values(Road::Local, Road::Socket),
                         [](const auto& info) { return info.param == Road::Local ? "InProcess" : "Socket"; });

// Without a machine at the socket the connection fails and says why.
TEST(Win32NoMachineTest, ConnectingToNothingFailsClearly) {
    TempDir dir;
    std::string error;
    auto process = platform::win32::connect_to_machine((dir.path() / "none.sock").string(), false, "test", &error);
    EXPECT_FALSE(process);
    EXPECT_FALSE(error.empty());
}

}  // namespace

// User mode from another process through vexa-machine as a program of its
// own: the registry, COM's view of it, the installed control panel, and the
// user-mode logger client tracing into the logger's rings.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/win32/user_process.h"
#include "platform/win32/windows.h"
#include "source/driver/usb/win/user_common/logger.h"
#include "support/temp_dir.h"

#define LOG_FILE_NUMBER 1200

extern char** environ;

namespace {

using namespace vexa::test;

constexpr int kStartupMs = 20000;  // how long a machine may take to say it is ready

class UserModeMachineTest : public ::testing::Test {
protected:
    UserModeMachineTest() {
        int fds[2];
        EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        std::string state = (dir_.path() / "state").string();
        std::vector<std::string> args{VEXA_MACHINE_BIN, "--state", state, "--socket", socket(), "--device", "none"};
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        out_ = fds[0];
    }
    ~UserModeMachineTest() override {
        platform::win32::set_default_process(nullptr);
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
    }

    std::string socket() const { return (dir_.path() / "machine.sock").string(); }

    // True once the machine has said it is ready.
    bool ready() {
        std::string seen;
        for (;;) {
            if (seen.find("ready on") != std::string::npos) return true;
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, kStartupMs) <= 0) return false;
            char chunk[512];
            ssize_t got = read(out_, chunk, sizeof(chunk));
            if (got <= 0) return false;
            seen.append(chunk, static_cast<size_t>(got));
        }
    }

    void connect() {
        ASSERT_TRUE(ready());
        std::string error;
        process_ = platform::win32::connect_to_machine(socket(), false, "host", &error);
        ASSERT_TRUE(process_) << error;
        platform::win32::set_default_process(process_);
    }

    TempDir dir_;
    pid_t pid_ = -1;
    int out_ = -1;
    std::shared_ptr<platform::win32::UserProcess> process_;
};

// The logger client opens from another program, maps the rings and its records land in them.
TEST_F(UserModeMachineTest, LoggerClientTracesIntoTheMachinesLogger) {
    connect();
    ASSERT_EQ(LoggerOpen(), STATUS_SUCCESS);
    ASSERT_TRUE(vexa::user_log::StandardEnabled(vexa::log::kLogInfo));
    // The guard's word is the header's enableMask; the header's write count sits just before it.
    auto* header = reinterpret_cast<vexa::log::LogRingHeader*>(
        reinterpret_cast<uintptr_t>(ReadPointerAcquire(&vexa::user_log::g_standardEnable)) -
        offsetof(vexa::log::LogRingHeader, enableMask));
    uint32_t before = __atomic_load_n(&header->writeCount, __ATOMIC_ACQUIRE);
    TRACE(vexa::log::kLogInfo | vexa::log::kLogPal, 1, 2);
    EXPECT_EQ(__atomic_load_n(&header->writeCount, __ATOMIC_ACQUIRE), before + 1);
    EXPECT_EQ(LoggerClose(), STATUS_SUCCESS);
    EXPECT_FALSE(vexa::user_log::StandardEnabled(vexa::log::kLogInfo));
}

// The registry kept by the machine program answers another program's Reg* calls; the control panel is installed at boot.
TEST_F(UserModeMachineTest, RegistryAndInstalledFilesServeAnotherProgram) {
    connect();
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\ASIO QUV VEXA USB Platform", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const char text[] = "ASIO QUV VEXA USB Platform";
    ASSERT_EQ(RegSetValueExA(key, "Description", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof(text) - 1),
              ERROR_SUCCESS);
    char read[64] = {};
    DWORD bytes = sizeof(read);
    ASSERT_EQ(RegQueryValueExA(key, "Description", nullptr, nullptr, reinterpret_cast<LPBYTE>(read), &bytes),
              ERROR_SUCCESS);
    EXPECT_EQ(std::string(read, bytes), text);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO"), ERROR_ACCESS_DENIED);
    RegCloseKey(key);
    // The ASIO driver's module is installed where Windows keeps it; until it is built, loading it finds nothing.
    HMODULE asio = LoadLibraryA("C:\\Windows\\System32\\QUVVexaUSBAsio64.dll");
    if (asio == nullptr) {
        EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    } else {
        FreeLibrary(asio);
    }
}

}  // namespace

// Which process the calling thread acts as, and its thread identity.
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/machine/machine.h"
#include "user_process.h"

namespace platform::win32 {
namespace {

std::mutex g_defaultLock;
std::shared_ptr<UserProcess> g_default;  // guarded by g_defaultLock
bool g_connectFailed = false;            // guarded by g_defaultLock: said once, not retried per call
thread_local UserProcess* t_scoped = nullptr;

}  // namespace

std::string default_socket_path() {
    if (const char* path = std::getenv("VEXA_MACHINE_SOCKET"); path != nullptr && *path != 0) return path;
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != 0) return std::string(home) + "/.local/state/vexa-machine/machine.sock";
    return "/tmp/vexa-machine-" + std::to_string(getuid()) + ".sock";
}

UserProcess* current_process() {
    if (t_scoped != nullptr) return t_scoped;
    std::lock_guard lock(g_defaultLock);
    if (g_default) return g_default.get();
    if (Machine::exists()) {
        g_default = create_local_process(false, "default");
        return g_default.get();
    }
    if (g_connectFailed) return nullptr;
    std::string error;
    std::string path = default_socket_path();
    g_default = connect_to_machine(path, false, "process", &error);
    if (!g_default) {
        g_connectFailed = true;
        std::fprintf(stderr, "vexa: no machine is running (%s: %s); start vexa-machine, or point VEXA_MACHINE_SOCKET at its socket\n",
                     path.c_str(), error.c_str());
    }
    return g_default.get();
}

void set_default_process(std::shared_ptr<UserProcess> process) {
    std::lock_guard lock(g_defaultLock);
    g_default = std::move(process);
    g_connectFailed = false;
}

ScopedProcess::ScopedProcess(std::shared_ptr<UserProcess> process) : process_(std::move(process)), previous_(t_scoped) {
    t_scoped = process_.get();
}

ScopedProcess::~ScopedProcess() { t_scoped = previous_; }

std::string UserProcess::image_path() const {
    std::lock_guard lock(imagePathLock_);
    return imagePath_;
}

void UserProcess::set_image_path(std::string path) {
    std::lock_guard lock(imagePathLock_);
    imagePath_ = std::move(path);
}

uint64_t current_thread_token() { return static_cast<uint64_t>(syscall(SYS_gettid)); }

}  // namespace platform::win32

#include "kernel.h"

#include <atomic>
#include <cstdlib>

#include "ntstatus.h"
#include "rules.h"

namespace platform {
namespace {

std::atomic<Kernel*> g_current{nullptr};

constexpr uintptr_t kKernelHandleBase = 0xFFFFFFFF80000004ull;  // kernel handles have the top bit set

}  // namespace

Kernel::Kernel(Clock::Mode clockMode, KernelHost& host)
    : clock_(clockMode), handles_(kKernelHandleBase), host_(host) {
    Kernel* expected = nullptr;
    if (!g_current.compare_exchange_strong(expected, this)) {
        rule_violation("machine", "a second machine was created while one is running");
    }
}

Kernel::~Kernel() {
    Kernel* expected = this;
    g_current.compare_exchange_strong(expected, nullptr);
}

Kernel& Kernel::current() {
    Kernel* kernel = g_current.load();
    if (kernel == nullptr) {
        rule_violation("machine", "a platform call was made with no machine running");
        std::abort();
    }
    return *kernel;
}

bool Kernel::exists() { return g_current.load() != nullptr; }

}  // namespace platform

NTSTATUS RtlGetVersion(RTL_OSVERSIONINFOW* info) {
    if (info == nullptr) return STATUS_INVALID_PARAMETER;
    platform::WindowsVersion version = platform::Kernel::current().host().windows_version();
    info->dwMajorVersion = version.major;
    info->dwMinorVersion = version.minor;
    info->dwBuildNumber = version.build;
    info->dwPlatformId = 2;
    info->szCSDVersion[0] = 0;
    return STATUS_SUCCESS;
}

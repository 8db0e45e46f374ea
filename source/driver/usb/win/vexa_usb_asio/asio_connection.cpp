// The connection to the root driver's ASIO interface: finding and opening
// the "\ASIO" handle, the requests on it, the cached device information, and
// init, which opens the session and starts the notification thread.
#define LOG_FILE_NUMBER 332

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "asio_vexa.h"
#include "registration.h"
#include "source/driver/usb/win/user_common/interface_path.h"
#include "source/driver/usb/win/user_common/logger.h"
#include "source/driver/usb/win/user_common/overlapped_request.h"
#include "source/driver/usb/win/vexa_usb_swroot/public/pal_interface.h"

using namespace vexa::log;

namespace vexa::asio {
namespace {

constexpr DWORD kNoInterface = ERROR_PATH_NOT_FOUND;
// Another process holding the only connection answers busy: retried this
// often, this far apart, before the open gives up.
constexpr int kBusyRetries = 60;
constexpr DWORD kBusyRetryMs = 50;

constexpr const char* kOpenFailed = "Cannot open ASIO QUV VEXA USB Platform. (Error code: 0x%x)\n";
constexpr const char* kVersionMismatch = "Cannot open ASIO QUV VEXA USB Platform. Version mismatch.\n";
constexpr const char* kInfoFailed = "Cannot obtain ASIO QUV VEXA USB Platform information. (Error code: 0x%x)\n";
constexpr const char* kEventFailed = "Cannot create ASIO QUV VEXA USB Platform notification event.";
constexpr const char* kSessionFailed = "Cannot initialize ASIO QUV VEXA USB Platform. (Error code: 0x%x)\n";
constexpr const char* kThreadFailed = "Cannot create ASIO QUV VEXA USB Platform notification thread.\n";

// One attempt: the first present ASIO interface, opened for overlapped I/O.
// The handle, or INVALID_HANDLE_VALUE with the error.
HANDLE TryOpen(DWORD* error) {
    std::string path;
    *error = vexa::user::FirstInterfacePath(GUID_DEVINTERFACE_ASIO, &path);
    if (*error == ERROR_NO_MORE_ITEMS) *error = kNoInterface;
    if (*error != ERROR_SUCCESS) return INVALID_HANDLE_VALUE;
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) *error = GetLastError();
    return handle;
}

// The root's side of the connection is gone: a request on a removed
// device's handle is refused as delete-pending (access denied), and one to a
// machine that has gone finds no device.
bool ConnectionGone(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_DEVICE_REMOVED ||
           error == ERROR_DEV_NOT_EXIST;
}

// A reference to this module for the notification thread, which it lets go
// as it ends; null (traced) when the module cannot load itself again.
HMODULE PinModule() {
    char path[kMaxModulePath];
    DWORD length = GetModuleFileNameA(g_module, path, kMaxModulePath);
    HMODULE module = length != 0 && length < kMaxModulePath ? LoadLibraryA(path) : nullptr;
    if (module == nullptr) TRACE(kLogWarning | kLogAsio, GetLastError());
    return module;
}

}  // namespace

void AsioVexa::SetError(const char* format, ULONG value) {
    std::snprintf(errorText_, sizeof(errorText_), format, value);
    TRACE(kLogError | kLogAsio, value);
}

// Any thread. The first loss is traced; the block is not touched from here on.
void AsioVexa::LoseConnection(DWORD error) {
    if (InterlockedExchange(&connectionLost_, 1) == 0) TRACE(kLogError | kLogAsio, error);
}

// Any thread. The handle is opened for overlapped I/O, so every request
// carries its own OVERLAPPED and event and is waited for here: a request
// sent without one on such a handle could be reported complete while
// another thread's request on the handle is what completed. It is waited for
// until it has completed, a failed wait included (cancelled first), so the
// root never completes it into this frame's buffers after it has returned.
bool AsioVexa::Request(DWORD code, void* input, DWORD inputBytes, void* output, DWORD outputBytes) {
    if (deviceHandle_ == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (output != nullptr && output != input) std::memset(output, 0, outputBytes);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        DWORD error = GetLastError();
        TRACE(kLogError | kLogAsio, code, error);
        if (ConnectionGone(error)) LoseConnection(error);
        SetLastError(error);
        return false;
    }
    DWORD bytes = 0;
    DWORD error =
        vexa::user::DeviceRequest(deviceHandle_, code, input, inputBytes, output, outputBytes, event, &bytes);
    CloseHandle(event);
    if (error != ERROR_SUCCESS) {
        TRACE(kLogError | kLogAsio, code, error);
        if (ConnectionGone(error)) LoseConnection(error);
    }
    // Set last: the close and the trace (a request to the logger) set their own.
    SetLastError(error);
    return error == ERROR_SUCCESS;
}

ASIOError AsioVexa::SendRequest(DWORD code, ULONG value) {
    AsioRequest request{context_, ASE_NotPresent, value};
    if (!Request(code, &request, sizeof(request), &request, sizeof(request))) return ASE_NotPresent;
    return request.result;
}

// The search with its retries: 0 with deviceHandle_ open, or the last error.
DWORD AsioVexa::OpenInterface() {
    DWORD error = ERROR_SUCCESS;
    for (int attempt = 0;; ++attempt) {
        deviceHandle_ = TryOpen(&error);
        if (deviceHandle_ != INVALID_HANDLE_VALUE) return ERROR_SUCCESS;
        if (error != ERROR_BUSY || attempt == kBusyRetries) return error;
        TRACE(kLogWarning | kLogAsio, attempt);
        Sleep(kBusyRetryMs);
    }
}

bool AsioVexa::ReadInfo(AsioDeviceInfo* info) {
    return Request(kIoctlAsioGetInfo, nullptr, 0, info, sizeof(*info));
}

// The rate, the counts and the names of a reply, bounded by what the tables hold.
void AsioVexa::StoreInfo(const AsioDeviceInfo& info) {
    if (info.outputChannels > kAsioMaxChannels || info.inputChannels > kAsioMaxChannels) {
        TRACE(kLogWarning | kLogAsio, info.outputChannels, info.inputChannels);
    }
    MutexLock lock(infoMutex_);
    WriteULongRelease(&sampleRate_, info.sampleRate);
    outputCount_ = info.outputChannels < kAsioMaxChannels ? info.outputChannels : kAsioMaxChannels;
    inputCount_ = info.inputChannels < kAsioMaxChannels ? info.inputChannels : kAsioMaxChannels;
    for (ULONG i = 0; i < kAsioMaxChannels; ++i) {
        // A name that fills its slot is cut by one character to keep its terminator.
        std::memcpy(outputNames_[i], info.outputNames[i], kAsioNameBytes - 1);
        outputNames_[i][kAsioNameBytes - 1] = 0;
        std::memcpy(inputNames_[i], info.inputNames[i], kAsioNameBytes - 1);
        inputNames_[i][kAsioNameBytes - 1] = 0;
    }
}

ASIOError AsioVexa::RefreshInfo() {
    std::unique_ptr<AsioDeviceInfo> info(new (std::nothrow) AsioDeviceInfo);
    if (!info) return ASE_NoMemory;
    if (!ReadInfo(info.get())) return ASE_NotPresent;
    StoreInfo(*info);
    return ASE_OK;
}

// Closes what the connection holds, leaving each slot empty so nothing is closed twice.
void AsioVexa::CloseConnection() {
    for (HANDLE& event : events_) {
        if (event != nullptr) CloseHandle(event);
        event = nullptr;
    }
    if (deviceHandle_ != INVALID_HANDLE_VALUE) CloseHandle(deviceHandle_);
    deviceHandle_ = INVALID_HANDLE_VALUE;
    context_ = 0;
    block_ = nullptr;
    WriteRelease(&connectionLost_, 0);
}

// Init's session: the four events, then the root's session that references them.
bool AsioVexa::OpenSession() {
    for (HANDLE& event : events_) {
        event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (event == nullptr) {
            SetError(kEventFailed);
            return false;
        }
    }
    AsioOpenRequest open{};
    open.flags = 0;  // the root does not read it
    open.switchEvent = reinterpret_cast<uintptr_t>(events_[kSwitchEvent]);
    open.resetEvent = reinterpret_cast<uintptr_t>(events_[kResetEvent]);
    open.resyncEvent = reinterpret_cast<uintptr_t>(events_[kResyncEvent]);
    open.latencyEvent = reinterpret_cast<uintptr_t>(events_[kLatencyEvent]);
    if (!Request(kIoctlAsioOpen, &open, sizeof(open), &open, sizeof(open))) {
        SetError(kSessionFailed, GetLastError());
        return false;
    }
    if (open.result != ASE_OK) {
        SetError(kSessionFailed, static_cast<ULONG>(open.result));
        return false;
    }
    context_ = open.context;
    block_ = reinterpret_cast<AsioSharedBlock*>(static_cast<uintptr_t>(open.sharedBlock));
    if (context_ == 0 || block_ == nullptr) {
        // A session the root cannot name or without its block is no session:
        // the thread and getSamplePosition would read through a null block.
        if (context_ != 0 && SendRequest(kIoctlAsioClose) != ASE_OK) TRACE(kLogError | kLogAsio);
        SetError(kSessionFailed, static_cast<ULONG>(ASE_NotPresent));
        return false;
    }
    return true;
}

ASIOBool AsioVexa::init(void*) {
    if (ReadAcquire(&initialised_) != 0) return ASIOTrue;
    TRACE(kLogInfo | kLogAsio);
    CloseConnection();
    if (DWORD error = OpenInterface(); error != ERROR_SUCCESS) {
        SetError(kOpenFailed, error);
        return ASIOFalse;
    }
    bool opened = [&] {
        AsioVersionReply version{};
        if (!Request(kIoctlAsioGetVersion, nullptr, 0, &version, sizeof(version)) ||
            version.interfaceVersion != kAsioInterfaceVersion) {
            SetError(kVersionMismatch);
            return false;
        }
        std::unique_ptr<AsioDeviceInfo> info(new (std::nothrow) AsioDeviceInfo);
        if (!info) {
            SetError(kInfoFailed, ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
        if (!ReadInfo(info.get())) {
            SetError(kInfoFailed, GetLastError());
            return false;
        }
        StoreInfo(*info);
        if (!OpenSession()) return false;
        // The run flag goes up before the thread exists: a reset the root
        // signals at once must not find it down and end the thread.
        threadModule_ = PinModule();
        WriteRelease(&initialised_, 1);
        notificationThread_ = CreateThread(nullptr, 0, AsioNotificationThread, this, 0, &threadId_);
        if (notificationThread_ == nullptr) {
            WriteRelease(&initialised_, 0);
            if (threadModule_ != nullptr) FreeLibrary(threadModule_);
            threadModule_ = nullptr;
            if (SendRequest(kIoctlAsioClose) != ASE_OK) TRACE(kLogError | kLogAsio);
            SetError(kThreadFailed);
            return false;
        }
        return true;
    }();
    if (!opened) {
        CloseConnection();
        return ASIOFalse;
    }
    return ASIOTrue;
}

}  // namespace vexa::asio

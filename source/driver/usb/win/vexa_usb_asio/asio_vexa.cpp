// The driver object's life (creation, destruction), its COM identity and the
// IASIO entries that answer from constants: name, version, error text, the
// control panel, `future` and outputReady.
#define LOG_FILE_NUMBER 319

#include "asio_vexa.h"

#include <cstring>
#include <new>

#include "platform/win32/shellapi.h"
#include "source/driver/usb/win/user_common/logger.h"

using namespace vexa::log;

namespace vexa::asio {
namespace {

constexpr const char* kObjectName = "ASIOVEXA";
constexpr const char* kControlPanelProgram = "C:\\Program Files\\QUVVexaUSB\\QUVVexaUSB.exe";
constexpr DWORD kHostPathChars = 256;
// A host that wants to be offered its one preferred buffer size.
constexpr const char* kFixedSizeHost = "ProTools.exe";
constexpr intptr_t kShellSucceeded = 32;  // ShellExecute answers above this on success

HRESULT LastErrorResult() {
    DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_OUTOFMEMORY;
}

}  // namespace

MutexLock::MutexLock(HANDLE mutex, const bool* gone) : mutex_(mutex), gone_(gone), held_(false) {
    DWORD wait = WaitForSingleObject(mutex, INFINITE);
    // An abandoned mutex is owned all the same: its last owner ended while holding it.
    held_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    if (!held_) TRACE(kLogError | kLogAsio, wait, GetLastError());
}

MutexLock::~MutexLock() {
    if (held_ && (gone_ == nullptr || !*gone_)) ReleaseMutex(mutex_);
}

CUnknown* CreateAsioVexa(IUnknown* outer, HRESULT* status) {
    // A constructor that throws has its memory freed by the new expression.
    return new (std::nothrow) AsioVexa(outer, status);
}

AsioVexa::AsioVexa(IUnknown* outer, HRESULT* status) : CUnknown(kObjectName, outer) {
    // Logging never fails the object: without a logger every trace point is off.
    (void)LoggerOpen();
    TRACE(kLogInfo | kLogAsio, this);
    *status = S_OK;
    callbackMutex_ = CreateMutexA(nullptr, FALSE, nullptr);
    if (callbackMutex_ == nullptr) {
        *status = LastErrorResult();
        TRACE(kLogError | kLogAsio, *status);
        return;
    }
    infoMutex_ = CreateMutexA(nullptr, FALSE, nullptr);
    if (infoMutex_ == nullptr) {
        *status = LastErrorResult();
        TRACE(kLogError | kLogAsio, *status);
        return;
    }
    char hostPath[kHostPathChars] = {};
    if (GetModuleFileNameA(nullptr, hostPath, kHostPathChars) != 0) {
        hostPath[kHostPathChars - 1] = 0;
        reportSizeRange_ = std::strstr(hostPath, kFixedSizeHost) == nullptr;
    }
}

AsioVexa::~AsioVexa() {
    TRACE(kLogInfo | kLogAsio, this);
    bool onThread = notificationThread_ != nullptr && GetCurrentThreadId() == threadId_;
    if (ReadAcquire(&initialised_) != 0) {
        if (ReadAcquire(&started_) != 0 && stop() != ASE_OK) TRACE(kLogError | kLogAsio);
        if (HasCallbacks() && disposeBuffers() != ASE_OK) TRACE(kLogError | kLogAsio);
        WriteRelease(&initialised_, 0);
        if (onThread) {
            // Released from inside a callback: the thread cannot wait for
            // itself; it finds the mark when the host returns and leaves.
            threadFrame_->objectGone = true;
        } else {
            SetEvent(events_[kSwitchEvent]);
            WaitForSingleObject(notificationThread_, INFINITE);
        }
    }
    if (notificationThread_ != nullptr) CloseHandle(notificationThread_);
    notificationThread_ = nullptr;
    CloseConnection();
    if (infoMutex_ != nullptr) CloseHandle(infoMutex_);
    if (callbackMutex_ != nullptr) CloseHandle(callbackMutex_);
    (void)LoggerClose();
}

HRESULT AsioVexa::NonDelegatingQueryInterface(REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    // Hosts ask for the driver's interface by its class id.
    if (riid == CLSID_VexaAsio) {
        IASIO* asio = this;
        *object = asio;
        asio->AddRef();
        return S_OK;
    }
    return CUnknown::NonDelegatingQueryInterface(riid, object);
}

void AsioVexa::getDriverName(char* name) {
    if (name == nullptr) return;
    std::strncpy(name, kAsioDriverName, kAsioDriverNameBytes - 1);
    name[kAsioDriverNameBytes - 1] = 0;
}

int32_t AsioVexa::getDriverVersion() { return static_cast<int32_t>(kAsioDriverVersion); }

void AsioVexa::getErrorMessage(char* text) {
    if (text == nullptr) return;
    std::strncpy(text, errorText_, kAsioErrorMessageBytes - 1);
    text[kAsioErrorMessageBytes - 1] = 0;
}

ASIOError AsioVexa::controlPanel() {
    HINSTANCE result =
        ShellExecuteA(GetForegroundWindow(), "open", kControlPanelProgram, "", "", SW_SHOWNORMAL);
    if (reinterpret_cast<intptr_t>(result) <= kShellSucceeded) {
        TRACE(kLogError | kLogAsio, reinterpret_cast<intptr_t>(result), GetLastError());
    }
    return ASE_OK;
}

ASIOError AsioVexa::future(int32_t selector, void*) {
    switch (selector) {
        case kAsioCanTimeInfo:
            return ASE_SUCCESS;
        case kAsioEnableTimeCodeRead:
        case kAsioDisableTimeCodeRead:
        case kAsioSetInputMonitor:
        case kAsioTransport:
        case kAsioCanInputMonitor:
        case kAsioCanTimeCode:
        case kAsioCanTransport:
        case kAsioCanInputGain:
        case kAsioCanInputMeter:
        case kAsioCanOutputGain:
        case kAsioCanOutputMeter:
        case kAsioSetIoFormat:
        case kAsioGetIoFormat:
        case kAsioCanDoIoFormat:
            return ASE_NotPresent;
        default:
            // kAsioSetInputGain, kAsioGetInputMeter, kAsioSetOutputGain,
            // kAsioGetOutputMeter, kAsioCanReportOverload,
            // kAsioGetInternalBufferSamples and anything unknown.
            return ASE_InvalidParameter;
    }
}

ASIOError AsioVexa::outputReady() { return ASE_OK; }

}  // namespace vexa::asio

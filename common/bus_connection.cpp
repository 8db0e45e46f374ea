// bus_impl's connection: create, open with its retries and version check,
// close, the one request path (ioctl) with its table of Win32 errors and its
// busy retries, DCP commands, and the ready event.
#define LOG_FILE_NUMBER 1043

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/bus_impl.h"
#include "common/bus_lines.h"
#include "common/bus_link.h"
#include "common/library_trace.h"
#include "common/releases.h"
#include "common/xptn.h"
#include "source/driver/usb/win/user_common/overlapped_request.h"

using namespace ::vexa::pal;

namespace mrak::vexa {
namespace {

using namespace bus_lines;

constexpr uint32_t kMaxRequestBytes = UINT32_MAX;  // one DeviceIoControl carries at most this
constexpr uint32_t kPercent = 100;
constexpr uint32_t kDcpIndex = 2;
static_assert(IoctlCode(kDcpIndex) == kIoctlDcpCommand);

template <typename X>
[[noreturn]] void Raise(uint32_t line, const char* function, const char* expression = nullptr) {
    throw make_xptn<X>(kFile, line, function, expression);
}

// A manual-reset event for one call, closed on every exit.
class call_event {
public:
    call_event() : handle_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~call_event() {
        if (handle_ != nullptr) CloseHandle(handle_);
    }
    call_event(const call_event&) = delete;
    call_event& operator=(const call_event&) = delete;
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

// Sends one request on `link` and waits for it, whether it completes at once
// or pends; its Win32 error, classified the same way in both cases
// (ERROR_OPERATION_ABORTED, unsent, once the link is shut).
DWORD SendAndWait(bus_link& link, DWORD code, void* in, uint32_t inSize, void* out, uint32_t outSize, HANDLE event,
                  DWORD* bytes) {
    return ::vexa::user::OverlappedRequest(link.handle(), event, bytes, [&](OVERLAPPED* overlapped) {
        return link.send(code, in, inSize, out, outSize, bytes, overlapped);
    });
}

bool IsCancel(DWORD error) { return error == ERROR_OPERATION_ABORTED || error == ERROR_CANCELLED; }

// How far a busy retry has come, 0 to 100, for any elapsed time and any limit.
uint32_t Percent(uint32_t elapsed, uint32_t timeout) {
    uint64_t percent = uint64_t{elapsed} * kPercent / std::max<uint32_t>(timeout, 1);
    return static_cast<uint32_t>(std::min<uint64_t>(percent, kPercent));
}

}  // namespace

// The owner reference carries this bus's id from the start: assignment keeps a reference's id.
bus_impl::bus_impl()
    : m_system(nullptr, holder_id()),
      m_current(std::make_unique<BusRecord>()),
      m_previous(std::make_unique<BusRecord>()) {
    InitializeCriticalSection(&m_linkLock);
    TRACE(kLibInfo, this);
}

bus_impl::~bus_impl() {
    TRACE(kLibInfo, this);
    close();
    if (m_hReady != nullptr) CloseHandle(m_hReady);
    m_hReady = nullptr;
    m_system.release();
    DeleteCriticalSection(&m_linkLock);
}

std::shared_ptr<bus_link> bus_impl::link() {
    EnterCriticalSection(&m_linkLock);
    std::shared_ptr<bus_link> open = m_link;
    LeaveCriticalSection(&m_linkLock);
    return open;
}

void bus_impl::create(base* system, std::string path) {
    TRACE(kLibInfo, this, system);
    // Assignment takes the new system before letting the old one go, so a
    // second create with the same system never deletes it on the way.
    m_system = reference<base>(system, holder_id());
    m_path = std::move(path);
    if (m_hReady == nullptr) m_hReady = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (m_hReady == nullptr) {
        TRACE(kLibError, this, GetLastError());
        Raise<xptn_resource>(kCreateEvent, "mrak::vexa::bus_impl::create", "!m_hReady");
    }
}

void bus_impl::open() {
    constexpr const char* kFunction = "mrak::vexa::bus_impl::open";
    lock_scope hold;
    TRACE(kLibInfo, this);
    close();

    // The handle decides: a valid one is open whatever the last error says,
    // and an invalid one with no error is a failure like any other.
    SetLastError(ERROR_SUCCESS);
    uint32_t started = pal::time();
    HANDLE bus = INVALID_HANDLE_VALUE;
    for (;;) {
        bus = CreateFileA(m_path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
        if (bus != INVALID_HANDLE_VALUE) break;
        DWORD error = GetLastError();
        if (error != ERROR_GEN_FAILURE && error != ERROR_BUSY) {
            TRACE(kLibError, this, error);
            Raise<xptn_driver_access>(kOpenAccess, kFunction, "true");
        }
        if (pal::time() - started > kMRAK_VEXA_DRIVER_OPEN_TIMEOUT) {
            TRACE(kLibError, this, error);
            Raise<xptn_device>(kOpenTimeout, kFunction, "pal::time()-time > kMRAK_VEXA_DRIVER_OPEN_TIMEOUT");
        }
        TRACE(kLibWarning, this, error);
        pal::sleep(kRetryPauseMs);
    }
    auto opened = std::make_shared<bus_link>(bus);
    EnterCriticalSection(&m_linkLock);
    m_link = opened;
    LeaveCriticalSection(&m_linkLock);

    // The version request waits for its completion as every request does;
    // a reply of any other size is not a version this library can read.
    ApiVersionReply response{};
    DWORD outSize = 0;
    call_event event;
    DWORD error =
        SendAndWait(*opened, kIoctlGetApiVersion, nullptr, 0, &response, sizeof(response), event.get(), &outSize);
    if (error != ERROR_SUCCESS || outSize != sizeof(response)) {
        TRACE(kLibError, this, error, outSize);
        Raise<xptn_driver_version>(kOpenVersionRequest, kFunction, "outSize != sizeof(response)");
    }
    m_driverVersion = response.driverVersion;
    if (response.ioctlMinCompatibleAPIVersion > kIoctlAPIVersion) {
        TRACE(kLibError, this, response.ioctlMinCompatibleAPIVersion, response.ioctlAPIVersion);
        Raise<xptn_driver_version>(kOpenVersionRefused, kFunction,
                                   "(response.ioctlMinCompatibleAPIVersion > kIoctlAPIVersion)");
    }

    dcp_cmd(0, kDcpCategoryBus, kDcpBusRegisterClient, nullptr, 0, nullptr, nullptr);

    DWORD threadId = 0;
    m_hThread = CreateThread(nullptr, 0, static_thread_notification, this, 0, &threadId);
    if (m_hThread == nullptr) {
        TRACE(kLibError, this, GetLastError());
        Raise<xptn_resource>(kOpenThread, kFunction, "!m_hThread");
    }
    // The thread cannot dispatch (nor close its bus) before this lock is let go.
    opened->set_thread_id(threadId);
    InterlockedExchange(&m_alive, 1);
}

void bus_impl::close() {
    lock_scope hold;
    std::shared_ptr<bus_link> closing = link();
    if (!closing) return;
    TRACE(kLibInfo, this);
    InterlockedExchange(&m_alive, 0);
    bool onOwnThread = closing->thread_id() == GetCurrentThreadId();
    // Stopped first, so the unregister's cancelling of the wait reads as the stop it is.
    closing->stop();
    try {
        dcp_cmd(0, kDcpCategoryBus, kDcpBusUnregisterClient, nullptr, 0, nullptr, nullptr);
    } catch (const mrak::exception::base& e) {
        TRACE(kLibError, this, e.line());
    } catch (...) {
        TRACE(kLibError, this);
    }
    // No request starts from here; whatever is still pending on the handle
    // (the wait, should the unregister have failed, and other threads'
    // commands) is cancelled, and a busy retry ends at its next pause.
    EnterCriticalSection(&m_linkLock);
    m_link.reset();
    LeaveCriticalSection(&m_linkLock);
    closing->shut();
    if (m_hThread != nullptr) {
        // On its own thread (a hook closed the bus) the thread is only told to
        // stop: it ends when the hook returns, touching nothing of the bus,
        // and is joined later, by wait_for_releases.
        if (!onOwnThread) {
            WaitForSingleObject(m_hThread, INFINITE);
            CloseHandle(m_hThread);
        } else {
            join_later(m_hThread);
        }
        m_hThread = nullptr;
    }
    // Requests still in flight on other threads (and this thread's own, when
    // a hook of one closed the bus) hold the link: the last of them closes
    // the handle. None is waited for here, and none with the lock held.
}

bool bus_impl::alive() { return ReadAcquire(&m_alive) != 0; }

bool bus_impl::connected() {
    if (!alive()) return false;
    std::shared_ptr<bus_link> open = link();
    if (!open) return false;
    call_event event;
    if (event.get() == nullptr) return true;  // nothing learnt: it still counts as alive
    ApiVersionReply response{};
    DWORD bytes = 0;
    DWORD error = SendAndWait(*open, kIoctlGetApiVersion, nullptr, 0, &response, sizeof(response), event.get(), &bytes);
    TRACE(kLibDetail, this, error, bytes);
    return error == ERROR_SUCCESS && bytes == sizeof(response);
}

void bus_impl::ioctl(uint32_t index, void* in, uint32_t inSize, void* out, uint32_t outSize) {
    constexpr const char* kFunction = "mrak::vexa::bus_impl::ioctl";
    std::shared_ptr<bus_link> open = link();  // held until the request is over: the handle stays open for it
    if (!open) {
        TRACE(kLibError, this, index);
        Raise<xptn_device>(kIoctlNotOpen, kFunction, "(m_hBus == INVALID_HANDLE_VALUE)");
    }
    DWORD code = IoctlCode(index);
    uint32_t started = pal::time();
    call_event event;
    if (event.get() == nullptr) {
        TRACE(kLibError, this, GetLastError());
        Raise<xptn_resource>(kIoctlEvent, kFunction, "!overlapped.hEvent");
    }
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        DWORD bytes = 0;
        DWORD error = SendAndWait(*open, code, in, inSize, out, outSize, event.get(), &bytes);
        if (error == ERROR_SUCCESS) {
            if (bytes == outSize) return;
            // Never sent again: that would repeat a registration or a setter.
            // A reply the driver cut short is the driver's failure, not a
            // version this library cannot read: it fails the command only.
            TRACE(kLibError, this, outSize, bytes);
            Raise<xptn_driver>(kIoctlShortCount, kFunction, "bytes != outSize");
        }
        TRACE(kLibError, this, index, error);
        // Cancelled because the bus was closed under it (or never sent once
        // it was): the interface went away from the caller, as for a close
        // during a busy retry. Other cancellations keep their own row.
        if (IsCancel(error) && open->is_shut()) {
            Raise<xptn_device>(kIoctlClosedWhileBusy, kFunction, "(m_hBus == INVALID_HANDLE_VALUE)");
        }
        switch (error) {
            case ERROR_CRC: Raise<xptn_device_access>(kIoctlCrc, kFunction, "true");
            case ERROR_GEN_FAILURE: Raise<xptn_driver_locked>(kIoctlGenFailure, kFunction, "true");
            case ERROR_INVALID_PARAMETER: Raise<xptn_internal>(kIoctlInvalidParameter, kFunction, "true");
            case ERROR_BUSY: {
                uint32_t elapsed = pal::time() - started;
                uint32_t timeout = ReadULongAcquire(&m_timeout);
                if (elapsed > timeout) {
                    Raise<xptn_device_timeout>(kIoctlBusyTimeout, kFunction, "(pal::time() - time) > m_timeout");
                }
                progress(Percent(elapsed, timeout), index);
                pal::sleep(kRetryPauseMs);
                if (open->is_shut()) {
                    Raise<xptn_device>(kIoctlClosedWhileBusy, kFunction, "(m_hBus == INVALID_HANDLE_VALUE)");
                }
                break;
            }
            default: Raise<xptn_driver>(kIoctlOther, kFunction, "true");
        }
    }
}

void bus_impl::dcp_cmd(uint64_t target, uint16_t category, uint16_t command, const void* data, uint64_t dataSize,
                       void* response, uint64_t* responseSize) {
    constexpr const char* kFunction = "mrak::vexa::bus_impl::dcp_cmd";
    TRACE(kLibDetail, this, target, (uint32_t{category} << 16) | command, dataSize);
    if (data == nullptr && dataSize != 0) {
        Raise<xptn_internal>(kDcpNullData, kFunction, "((data == NULL) && (dataSize != 0))");
    }
    if (response == nullptr && responseSize != nullptr) {
        Raise<xptn_internal>(kDcpNullResponse, kFunction, "((response == NULL) && (responseSize != NULL))");
    }
    if (response != nullptr && responseSize == nullptr) {
        Raise<xptn_internal>(kDcpNullResponseSize, kFunction, "((response != NULL) && (responseSize == NULL))");
    }
    uint64_t capacity = responseSize != nullptr ? *responseSize : 0;
    // Both lengths must fit one request before anything is allocated.
    if (dataSize > kMaxRequestBytes - sizeof(DcpRequest)) {
        Raise<xptn_internal>(kDcpDataTooLarge, kFunction, "dataSize > UINT32_MAX - sizeof(DcpRequest)");
    }
    if (capacity > kMaxRequestBytes - sizeof(DcpReply)) {
        Raise<xptn_internal>(kDcpResponseTooLarge, kFunction, "*responseSize > UINT32_MAX - sizeof(DcpReply)");
    }

    std::vector<uint8_t> request(sizeof(DcpRequest) + dataSize, 0);
    DcpRequest header{target, category, command, 0};
    std::memcpy(request.data(), &header, sizeof(header));
    if (dataSize != 0) std::memcpy(request.data() + sizeof(header), data, dataSize);
    // Preset to "failed, nothing", so a request that completes without writing a reply reads as failed.
    std::vector<uint8_t> reply(sizeof(DcpReply) + capacity, 0);
    DcpReply preset{1, 0};
    std::memcpy(reply.data(), &preset, sizeof(preset));

    try {
        ioctl(kDcpIndex, request.data(), static_cast<uint32_t>(request.size()), reply.data(),
              static_cast<uint32_t>(reply.size()));
    } catch (const mrak::exception::base& e) {
        TRACE(kLibError, this, (uint32_t{category} << 16) | command, e.line());
        throw;
    }
    DcpReply answer;
    std::memcpy(&answer, reply.data(), sizeof(answer));
    if (answer.status != 0) {
        TRACE(kLibError, this, (uint32_t{category} << 16) | command, answer.status);
        Raise<xptn_device_firmware>(kDcpStatus, kFunction, "true");
    }
    if (responseSize != nullptr) *responseSize = answer.size;
    if (response != nullptr) {
        // A forwarded command's reply says how much it holds; the rest of the
        // buffer still carries the request's own bytes and must not pass for
        // data. The root's own commands leave the size as the request had it
        // (they answer exactly what their command defines), so their whole
        // capacity is the reply.
        uint64_t valid = category == kDcpCategoryBus ? capacity : std::min<uint64_t>(answer.size, capacity);
        std::memcpy(response, reply.data() + sizeof(DcpReply), valid);
        std::memset(static_cast<uint8_t*>(response) + valid, 0, capacity - valid);
    }
}

DWORD bus_impl::ready_wait() {
    DWORD result = WaitForSingleObject(m_hReady, ReadULongAcquire(&m_timeout));
    if (result == WAIT_TIMEOUT) {
        Raise<xptn_device>(kReadyTimeout, "mrak::vexa::bus_impl::ready_wait",
                           "::WaitForSingleObject( m_hReady, m_timeout ) == WAIT_TIMEOUT");
    }
    return result;
}

void bus_impl::ready_set() { SetEvent(m_hReady); }
void bus_impl::ready_reset() { ResetEvent(m_hReady); }

void bus_impl::set_timeout(uint32_t ms) {
    WriteULongRelease(&m_timeout, std::max<uint32_t>(ms, 1));
}

// Set by create, before the bus is opened or shared.
const std::string& bus_impl::path() { return m_path; }
uint64_t bus_impl::driver_version() {
    lock_scope hold;
    return m_driverVersion;
}

}  // namespace mrak::vexa

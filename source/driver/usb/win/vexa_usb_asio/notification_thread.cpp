// The notification thread: turns the root's four events into calls to the
// host (the buffer switch, and the reset, resync and latency requests), and
// acknowledges each switch it handed over in the shared block.
#define LOG_FILE_NUMBER 335

#include <cstring>

#include "asio_vexa.h"
#include "platform/win32/avrt.h"
#include "source/driver/usb/win/user_common/logger.h"

using namespace vexa::log;

namespace vexa::asio {
namespace {

constexpr const char* kAvrtModule = "avrt.dll";
constexpr const char* kProAudioTask = "Pro Audio";
constexpr LONG kBufferIndexMask = 1;  // the host's halves are 0 and 1, whatever the word holds

// The calling thread's membership of the multimedia class "Pro Audio":
// joined at construction when avrt offers all it needs, reverted and let go
// at destruction. It keeps its own copies of everything, so it outlives the
// driver object a host may destroy from inside a callback.
class ProAudioTask {
public:
    ProAudioTask() {
        avrt_ = LoadLibraryA(kAvrtModule);
        if (avrt_ == nullptr) {
            TRACE(kLogWarning | kLogAsio, GetLastError());
            return;
        }
        auto join = reinterpret_cast<AvSetMmThreadCharacteristicsAFn>(
            GetProcAddress(avrt_, "AvSetMmThreadCharacteristicsA"));
        auto raise = reinterpret_cast<AvSetMmThreadPriorityFn>(GetProcAddress(avrt_, "AvSetMmThreadPriority"));
        revert_ = reinterpret_cast<AvRevertMmThreadCharacteristicsFn>(
            GetProcAddress(avrt_, "AvRevertMmThreadCharacteristics"));
        // Without a way back out of the class the thread does not join it.
        if (join == nullptr || raise == nullptr || revert_ == nullptr) {
            TRACE(kLogWarning | kLogAsio, GetLastError());
            return;
        }
        DWORD taskIndex = 0;
        task_ = join(kProAudioTask, &taskIndex);
        if (task_ == nullptr) {
            TRACE(kLogWarning | kLogAsio, GetLastError());
            return;
        }
        if (!raise(task_, AVRT_PRIORITY_CRITICAL)) TRACE(kLogWarning | kLogAsio, GetLastError());
    }
    ~ProAudioTask() {
        if (task_ != nullptr && !revert_(task_)) TRACE(kLogWarning | kLogAsio, GetLastError());
        if (avrt_ != nullptr) FreeLibrary(avrt_);
    }
    ProAudioTask(const ProAudioTask&) = delete;
    ProAudioTask& operator=(const ProAudioTask&) = delete;

private:
    HMODULE avrt_ = nullptr;
    AvRevertMmThreadCharacteristicsFn revert_ = nullptr;
    HANDLE task_ = nullptr;
};

}  // namespace

DWORD AsioNotificationThread(LPVOID parameter) {
    auto* driver = static_cast<AsioVexa*>(parameter);
    // Taken before the run: the object may be gone by its end.
    HMODULE module = driver->ThreadModule();
    driver->RunNotifications();
    // The module is let go only once this thread has left its code: a host
    // may have destroyed the driver on this thread and unloaded the module.
    if (module != nullptr) FreeLibraryAndExitThread(module, 0);
    return 0;
}

// The notification thread, from the end of a successful init until the
// destructor clears the run flag and wakes it (or destroys the object under
// it), or until the connection is lost.
void AsioVexa::RunNotifications() {
    NotificationFrame frame;
    threadFrame_ = &frame;
    if (!SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL)) {
        TRACE(kLogWarning | kLogAsio, GetLastError());
    }
    ProAudioTask task;
    HANDLE events[kEventCount];
    std::memcpy(events, events_, sizeof(events));
    for (;;) {
        DWORD wait = WaitForMultipleObjects(kEventCount, events, FALSE, INFINITE);
        if (ReadAcquire(&initialised_) == 0) break;
        switch (wait) {
            case WAIT_OBJECT_0 + kSwitchEvent:
                OnSwitch(frame);
                break;
            case WAIT_OBJECT_0 + kResetEvent:
                ResetRequest(frame);
                break;
            case WAIT_OBJECT_0 + kResyncEvent:
                RequestOrReset(frame, kAsioResyncRequest);
                break;
            case WAIT_OBJECT_0 + kLatencyEvent:
                RequestOrReset(frame, kAsioLatenciesChanged);
                break;
            default:
                // The root's events are gone: so is the connection, and no
                // switch or notice will come any more. The host hears it as
                // a reset rather than silence; the thread leaves rather than
                // spin on a wait that fails again at once.
                TRACE(kLogError | kLogAsio, wait, GetLastError());
                LoseConnection(GetLastError());
                ResetRequest(frame, false);
                if (frame.objectGone) return;
                threadFrame_ = nullptr;
                return;
        }
        if (frame.objectGone) return;
    }
    threadFrame_ = nullptr;
}

// Ignored while stopped or once the connection is lost; otherwise the half
// the block names goes to the host and, once the host has it, its sequence
// is acknowledged.
void AsioVexa::OnSwitch(NotificationFrame& frame) {
    if (ReadAcquire(&started_) == 0 || ConnectionLost()) return;
    LONG index = ReadAcquire(&block_->bufferIndex) & kBufferIndexMask;
    ULONG sequence = ReadULongAcquire(&block_->switchSequence);
    bool handed = DispatchSwitch(index, frame);
    if (frame.objectGone || !handed || ConnectionLost()) return;
    WriteULongRelease(&block_->switchAck, sequence);
}

// True when the host was given the half (buffers exist, the driver runs and
// its connection is there).
bool AsioVexa::DispatchSwitch(LONG index, NotificationFrame& frame) {
    MutexLock lock(callbackMutex_, &frame.objectGone);
    // Checked again under the mutex: stop and disposeBuffers clear these under it.
    if (!lock.held() || ReadAcquire(&started_) == 0 || callbacks_ == nullptr || ConnectionLost()) return false;
    ASIOCallbacks* host = callbacks_;
    if (host_.timeInfoMode && host->bufferSwitchTimeInfo != nullptr) {
        ULONG rate = ReadULongAcquire(&sampleRate_);
        if (asioTime_.timeInfo.sampleRate != static_cast<ASIOSampleRate>(rate)) {
            asioTime_.timeInfo.flags |= kSampleRateChanged;
            asioTime_.timeInfo.sampleRate = rate;
        }
        ULONG64 position = ReadULong64Acquire(&block_->samplePosition);
        asioTime_.timeInfo.systemTime = ToAsioTimeStamp(ReadULong64Acquire(&block_->systemTime));
        asioTime_.timeInfo.samplePosition = ToAsioSamples(position);
        if (position != expectedSamplePosition_) {
            // A half went by without reaching the host: a drop-out.
            TRACE_RT(kLogError | kLogAsio, position, expectedSamplePosition_);
        }
        expectedSamplePosition_ = position + bufferSize_;
        host->bufferSwitchTimeInfo(&asioTime_, index, ASIOTrue);
        if (frame.objectGone) return true;
        asioTime_.timeInfo.flags &= ~(kSampleRateChanged | kClockSourceChanged);
    } else if (host->bufferSwitch != nullptr) {
        host->bufferSwitch(index, ASIOTrue);
    }
    return true;
}

// The device, its rate or its buffer size changed, or it went, or the
// connection is lost: the cached information is read again (while there is
// a connection to read it through) before the host is asked to reset.
void AsioVexa::ResetRequest(NotificationFrame& frame, bool refresh) {
    if (refresh && !ConnectionLost()) {
        if (ASIOError refreshed = RefreshInfo(); refreshed != ASE_OK) TRACE(kLogError | kLogAsio, refreshed);
    }
    MutexLock lock(callbackMutex_, &frame.objectGone);
    if (!lock.held()) return;
    if (callbacks_ == nullptr || callbacks_->asioMessage == nullptr) {
        TRACE(kLogInfo | kLogAsio, kAsioResetRequest);
        return;
    }
    callbacks_->asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
}

// A resync or latency request: the host's own handling when it said it
// supports the selector and answers nonzero, else a reset request.
void AsioVexa::RequestOrReset(NotificationFrame& frame, int32_t selector) {
    bool reset = false;
    {
        MutexLock lock(callbackMutex_, &frame.objectGone);
        if (!lock.held()) return;
        bool supported = selector == kAsioResyncRequest ? host_.supportsResync : host_.supportsLatencyChange;
        if (!supported) {
            reset = true;
        } else if (callbacks_ == nullptr || callbacks_->asioMessage == nullptr) {
            TRACE(kLogInfo | kLogAsio, selector);
        } else {
            reset = callbacks_->asioMessage(selector, 0, nullptr, nullptr) == 0;
            if (frame.objectGone) return;
        }
    }
    if (reset) ResetRequest(frame);
}

}  // namespace vexa::asio

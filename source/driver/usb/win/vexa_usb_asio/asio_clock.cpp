// Rates, sizes, latencies, the clock source and the sample position.
#define LOG_FILE_NUMBER 331

#include <cmath>
#include <cstring>

#include "asio_vexa.h"
#include "source/driver/usb/win/user_common/logger.h"

using namespace vexa::log;

namespace vexa::asio {
namespace {

// The root applies a new rate to the device and the engine; the driver
// reads the device information again only after this pause.
constexpr DWORD kRateSettleMs = 500;
constexpr double kRateLimit = 4294967296.0;  // the requests carry the rate in 32 bits
constexpr const char* kClockName = "USB";

// A rate the requests can carry: a whole number of Hz from 1 up to 32 bits.
// NaN, zero, negative and larger rates are refused before anything is sent.
bool RequestRate(ASIOSampleRate rate, ULONG* value) {
    if (!std::isfinite(rate) || rate < 1.0 || rate >= kRateLimit) return false;
    *value = static_cast<ULONG>(rate);
    return true;
}

}  // namespace

ASIOError AsioVexa::getLatencies(int32_t* inputLatency, int32_t* outputLatency) {
    // Before init, and once the connection is lost, there is no block to read.
    if (!Connected()) return ASE_NotPresent;
    if (inputLatency != nullptr) *inputLatency = ReadAcquire(&block_->inputLatency);
    if (outputLatency != nullptr) *outputLatency = ReadAcquire(&block_->outputLatency);
    return ASE_OK;
}

ASIOError AsioVexa::getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                                  int32_t* granularity) {
    AsioBufferSizeReply reply{};
    reply.context = context_;
    reply.result = ASE_NotPresent;
    if (!Request(kIoctlAsioGetBufferSize, &reply, sizeof(reply), &reply, sizeof(reply))) return ASE_NotPresent;
    if (reply.result != ASE_OK) return reply.result;
    auto minimum = static_cast<int32_t>(reply.minSize);
    auto maximum = static_cast<int32_t>(reply.maxSize);
    auto preferred = static_cast<int32_t>(reply.preferredSize);
    int32_t step = reply.granularity;
    if (!reportSizeRange_) {
        minimum = maximum = preferred;
        step = 0;
    }
    if (minSize != nullptr) *minSize = minimum;
    if (maxSize != nullptr) *maxSize = maximum;
    if (preferredSize != nullptr) *preferredSize = preferred;
    if (granularity != nullptr) *granularity = step;
    return ASE_OK;
}

ASIOError AsioVexa::canSampleRate(ASIOSampleRate rate) {
    ULONG value = 0;
    if (!RequestRate(rate, &value)) return ASE_NoClock;
    return SendRequest(kIoctlAsioCanSampleRate, value);
}

ASIOError AsioVexa::getSampleRate(ASIOSampleRate* rate) {
    if (rate == nullptr) return ASE_InvalidParameter;
    if (ReadAcquire(&initialised_) == 0) return ASE_NotPresent;
    *rate = ReadULongAcquire(&sampleRate_);
    return ASE_OK;
}

ASIOError AsioVexa::setSampleRate(ASIOSampleRate rate) {
    ULONG value = 0;
    if (!RequestRate(rate, &value)) return ASE_NoClock;
    if (value == ReadULongAcquire(&sampleRate_)) return ASE_OK;
    TRACE(kLogInfo | kLogAsio, value);
    if (ASIOError result = SendRequest(kIoctlAsioSetSampleRate, value); result != ASE_OK) return result;
    {
        MutexLock lock(infoMutex_);
        WriteULongRelease(&sampleRate_, value);
    }
    Sleep(kRateSettleMs);
    // The counts and names may change with the rate's band.
    if (ASIOError refreshed = RefreshInfo(); refreshed != ASE_OK) return refreshed;
    void (*rateChanged)(ASIOSampleRate) = nullptr;
    {
        MutexLock lock(callbackMutex_);
        if (lock.held() && callbacks_ != nullptr) rateChanged = callbacks_->sampleRateDidChange;
    }
    // Called without the mutex: the host may wait in there for its own next
    // buffer switch, which the notification thread hands over under it.
    if (rateChanged != nullptr) {
        HostCall hold(this);
        rateChanged(static_cast<ASIOSampleRate>(ReadULongAcquire(&sampleRate_)));
    }
    return ASE_OK;
}

ASIOError AsioVexa::getClockSources(ASIOClockSource* clocks, int32_t* numSources) {
    if (clocks == nullptr || numSources == nullptr || *numSources <= 0) return ASE_InvalidParameter;
    std::memset(&clocks[0], 0, sizeof(clocks[0]));
    clocks[0].index = 0;
    clocks[0].associatedChannel = -1;
    clocks[0].associatedGroup = -1;
    clocks[0].isCurrentSource = ASIOTrue;
    std::strncpy(clocks[0].name, kClockName, sizeof(clocks[0].name) - 1);
    *numSources = 1;
    return ASE_OK;
}

ASIOError AsioVexa::setClockSource(int32_t index) {
    if (index != 0) return ASE_InvalidParameter;
    // The thread hands asioTime_ to the host under the same mutex.
    MutexLock lock(callbackMutex_);
    if (!lock.held()) return ASE_NotPresent;
    asioTime_.timeInfo.flags |= kClockSourceChanged;
    return ASE_OK;
}

ASIOError AsioVexa::getSamplePosition(ASIOSamples* position, ASIOTimeStamp* timeStamp) {
    if (position == nullptr || timeStamp == nullptr) return ASE_InvalidParameter;
    if (!Connected()) return ASE_NotPresent;
    *position = ToAsioSamples(ReadULong64Acquire(&block_->samplePosition));
    *timeStamp = ToAsioTimeStamp(ReadULong64Acquire(&block_->systemTime));
    return ASE_OK;
}

}  // namespace vexa::asio

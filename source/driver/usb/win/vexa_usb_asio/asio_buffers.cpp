// The buffers and the transport: createBuffers, disposeBuffers, start and
// stop, and the channel queries that depend on the buffers created.
#define LOG_FILE_NUMBER 330

#include <cstring>
#include <memory>
#include <new>

#include "asio_vexa.h"
#include "source/driver/usb/win/user_common/logger.h"

using namespace vexa::log;

namespace vexa::asio {
namespace {

constexpr ULONG kSampleBytes = 4;  // ASIOSTInt32LSB
constexpr int32_t kMaxBufferInfos = 2 * kAsioMaxChannels;  // every channel of both directions once

// The channels one createBuffers asks for, in the host's order per direction.
struct Selection {
    ULONG outputs[kAsioMaxChannels];
    ULONG inputs[kAsioMaxChannels];
    ULONG outputCount = 0;
    ULONG inputCount = 0;
};

}  // namespace

bool AsioVexa::HasCallbacks() {
    MutexLock lock(callbackMutex_);
    return lock.held() && callbacks_ != nullptr;
}

// What the host says of itself, asked through its message entry before the
// callbacks go live, so the thread never sees callbacks without the answers.
AsioVexa::HostAnswers AsioVexa::AskHost(const ASIOCallbacks& callbacks) {
    HostAnswers answers;
    auto message = callbacks.asioMessage;
    if (message == nullptr) {
        TRACE(kLogWarning | kLogAsio);
        return answers;
    }
    TRACE(kLogInfo | kLogAsio, message(kAsioEngineVersion, 0, nullptr, nullptr));
    // Time-info mode calls bufferSwitchTimeInfo, so a host without one stays in the plain mode.
    answers.timeInfoMode =
        message(kAsioSupportsTimeInfo, 0, nullptr, nullptr) != 0 && callbacks.bufferSwitchTimeInfo != nullptr;
    TRACE(kLogInfo | kLogAsio, message(kAsioSupportsTimeCode, 0, nullptr, nullptr));
    TRACE(kLogInfo | kLogAsio, message(kAsioSelectorSupported, kAsioResetRequest, nullptr, nullptr));
    answers.supportsResync = message(kAsioSelectorSupported, kAsioResyncRequest, nullptr, nullptr) != 0;
    answers.supportsBufferSizeChange = message(kAsioSelectorSupported, kAsioBufferSizeChange, nullptr, nullptr) != 0;
    answers.supportsLatencyChange = message(kAsioSelectorSupported, kAsioLatenciesChanged, nullptr, nullptr) != 0;
    TRACE(kLogInfo | kLogAsio, message(kAsioSelectorSupported, kAsioOverload, nullptr, nullptr));
    return answers;
}

ASIOError AsioVexa::createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                                  ASIOCallbacks* callbacks) {
    TRACE(kLogInfo | kLogAsio, numChannels, bufferSize);
    if (bufferInfos == nullptr || numChannels <= 0 || bufferSize <= 0 || callbacks == nullptr) {
        return ASE_InvalidParameter;
    }
    // Buffers exist already: the running connection is left as it is.
    if (HasCallbacks()) return ASE_InvalidMode;
    if (numChannels > kMaxBufferInfos) return ASE_InvalidParameter;
    std::unique_ptr<AsioCreateBuffersRequest> request(new (std::nothrow) AsioCreateBuffersRequest);
    if (!request) return ASE_NoMemory;
    std::memset(request.get(), 0, sizeof(*request));
    request->context = context_;
    request->result = ASE_NotPresent;
    request->bufferSize = static_cast<uint32_t>(bufferSize);
    request->channelCount = static_cast<uint32_t>(numChannels);

    // Every entry is checked before anything is sent: a channel the device
    // lacks, one past the tables, or one named twice in a direction.
    std::unique_ptr<Selection> selection(new (std::nothrow) Selection);
    if (!selection) return ASE_NoMemory;
    {
        MutexLock lock(infoMutex_);
        for (int32_t i = 0; i < numChannels; ++i) {
            const ASIOBufferInfo& info = bufferInfos[i];
            bool input = info.isInput != ASIOFalse;
            ULONG count = input ? inputCount_ : outputCount_;
            if (info.channelNum < 0 || static_cast<ULONG>(info.channelNum) >= count ||
                static_cast<ULONG>(info.channelNum) >= kAsioMaxChannels) {
                return ASE_InvalidParameter;
            }
            auto channel = static_cast<ULONG>(info.channelNum);
            uint32_t* enable = input ? request->inputEnable : request->outputEnable;
            if (enable[channel] != 0) return ASE_InvalidParameter;
            enable[channel] = 1;
            if (input) {
                selection->inputs[selection->inputCount++] = channel;
            } else {
                selection->outputs[selection->outputCount++] = channel;
            }
        }
    }

    if (!Request(kIoctlAsioCreateBuffers, request.get(), sizeof(*request), request.get(), sizeof(*request))) {
        return ASE_NotPresent;
    }
    if (request->result != ASE_OK) return request->result;
    for (int32_t i = 0; i < numChannels; ++i) {
        const ASIOBufferInfo& info = bufferInfos[i];
        auto channel = static_cast<ULONG>(info.channelNum);
        if ((info.isInput != ASIOFalse ? request->inputBuffers[channel] : request->outputBuffers[channel]) == 0) {
            // A channel without its buffer: the host must not get a null half to fill.
            TRACE(kLogError | kLogAsio, info.isInput, channel);
            if (SendRequest(kIoctlAsioDisposeBuffers) != ASE_OK) TRACE(kLogError | kLogAsio);
            return ASE_NoMemory;
        }
    }
    for (int32_t i = 0; i < numChannels; ++i) {
        ASIOBufferInfo& info = bufferInfos[i];
        auto channel = static_cast<ULONG>(info.channelNum);
        uint64_t address = info.isInput != ASIOFalse ? request->inputBuffers[channel] : request->outputBuffers[channel];
        info.buffers[0] = reinterpret_cast<void*>(static_cast<uintptr_t>(address));
        info.buffers[1] = reinterpret_cast<void*>(
            static_cast<uintptr_t>(address + static_cast<uint64_t>(bufferSize) * kSampleBytes));
    }

    // The root has the buffers: only now does the driver's state change.
    {
        MutexLock lock(infoMutex_);
        std::memcpy(activeOutputs_, selection->outputs, sizeof(activeOutputs_));
        std::memcpy(activeInputs_, selection->inputs, sizeof(activeInputs_));
        activeOutputCount_ = selection->outputCount;
        activeInputCount_ = selection->inputCount;
    }
    // The host may release the driver while it answers: the object lasts
    // until this call is done with it.
    HostCall hold(this);
    HostAnswers answers = AskHost(*callbacks);
    MutexLock lock(callbackMutex_);
    host_ = answers;
    bufferSize_ = static_cast<ULONG>(bufferSize);
    std::memset(&asioTime_, 0, sizeof(asioTime_));
    if (answers.timeInfoMode) {
        asioTime_.timeInfo.speed = 1.0;
        asioTime_.timeInfo.sampleRate = ReadULongAcquire(&sampleRate_);
        asioTime_.timeInfo.flags = kSystemTimeValid | kSamplePositionValid | kSampleRateValid;
        asioTime_.timeCode.speed = 1.0;
    }
    callbacks_ = callbacks;
    return ASE_OK;
}

ASIOError AsioVexa::disposeBuffers() {
    TRACE(kLogInfo | kLogAsio);
    bool wasStarted = false;
    {
        // Once this holds the mutex no callback runs, and none starts after.
        MutexLock lock(callbackMutex_);
        if (!lock.held() || callbacks_ == nullptr) return ASE_InvalidMode;
        callbacks_ = nullptr;
        wasStarted = ReadAcquire(&started_) != 0;
        WriteRelease(&started_, 0);
    }
    if (wasStarted) {
        if (ASIOError stopped = SendRequest(kIoctlAsioStop); stopped != ASE_OK) TRACE(kLogError | kLogAsio, stopped);
    }
    ASIOError result = SendRequest(kIoctlAsioDisposeBuffers);
    if (result != ASE_OK) TRACE(kLogError | kLogAsio, result);
    // Cleared whatever the root answered, so the host can create buffers anew.
    MutexLock lock(infoMutex_);
    activeOutputCount_ = 0;
    activeInputCount_ = 0;
    return result;
}

ASIOError AsioVexa::start() {
    TRACE(kLogInfo | kLogAsio);
    {
        MutexLock lock(callbackMutex_);
        if (!lock.held()) return ASE_NotPresent;
        if (ReadAcquire(&started_) != 0) return ASE_OK;
        if (callbacks_ == nullptr) return ASE_InvalidMode;
        // Up before the request: the root's first switch may come before start returns.
        expectedSamplePosition_ = 0;
        WriteRelease(&started_, 1);
    }
    ASIOError result = SendRequest(kIoctlAsioStart);
    if (result != ASE_OK) {
        MutexLock lock(callbackMutex_);
        WriteRelease(&started_, 0);
    }
    return result;
}

ASIOError AsioVexa::stop() {
    TRACE(kLogInfo | kLogAsio);
    {
        MutexLock lock(callbackMutex_);
        if (!lock.held()) return ASE_NotPresent;
        if (ReadAcquire(&started_) == 0) return ASE_OK;
        WriteRelease(&started_, 0);
    }
    return SendRequest(kIoctlAsioStop);
}

ASIOError AsioVexa::getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) {
    MutexLock lock(infoMutex_);
    if (numInputChannels != nullptr) *numInputChannels = static_cast<int32_t>(inputCount_);
    if (numOutputChannels != nullptr) *numOutputChannels = static_cast<int32_t>(outputCount_);
    return inputCount_ != 0 || outputCount_ != 0 ? ASE_OK : ASE_NotPresent;
}

ASIOError AsioVexa::getChannelInfo(ASIOChannelInfo* info) {
    if (info == nullptr || info->channel < 0) return ASE_InvalidParameter;
    auto channel = static_cast<ULONG>(info->channel);
    bool input = info->isInput != ASIOFalse;
    MutexLock lock(infoMutex_);
    // The counts are never above the tables' size, so this bounds the name read too.
    if (channel >= (input ? inputCount_ : outputCount_) || channel >= kAsioMaxChannels) return ASE_InvalidParameter;
    info->isActive = ASIOFalse;
    info->type = ASIOSTInt32LSB;
    std::memcpy(info->name, input ? inputNames_[channel] : outputNames_[channel], sizeof(info->name));
    const ULONG* active = input ? activeInputs_ : activeOutputs_;
    ULONG activeCount = input ? activeInputCount_ : activeOutputCount_;
    for (ULONG i = 0; i < activeCount; ++i) {
        if (active[i] == channel) info->isActive = ASIOTrue;
    }
    return ASE_OK;
}

}  // namespace vexa::asio

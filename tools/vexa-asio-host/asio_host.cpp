#include "asio_host.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <tuple>
#include <utility>

namespace vexa::asio_host {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSlots = 4;
constexpr int32_t kHostEngineVersion = 2;
constexpr uint32_t kUsualRates[] = {44100, 48000, 88200, 96000, 176400, 192000};
constexpr int32_t kMaxClockSources = 8;

// The hosts that hold a slot; a callback reaches its host through its slot.
std::atomic<AsioHost*> g_slots[kSlots];

template <int N>
struct Slot {
    static void BufferSwitch(int32_t index, ASIOBool) { g_slots[N].load()->on_switch(index, nullptr); }
    static ASIOTime* BufferSwitchTimeInfo(ASIOTime* time, int32_t index, ASIOBool) {
        g_slots[N].load()->on_switch(index, time);
        return time;
    }
    static void RateChanged(ASIOSampleRate rate) { g_slots[N].load()->on_rate_change(rate); }
    static int32_t Message(int32_t selector, int32_t value, void*, double*) {
        return g_slots[N].load()->on_message(selector, value);
    }
    static ASIOCallbacks Callbacks() { return ASIOCallbacks{BufferSwitch, RateChanged, Message, BufferSwitchTimeInfo}; }
};

ASIOCallbacks SlotCallbacks(int slot) {
    switch (slot) {
        case 0: return Slot<0>::Callbacks();
        case 1: return Slot<1>::Callbacks();
        case 2: return Slot<2>::Callbacks();
        default: return Slot<3>::Callbacks();
    }
}

int TakeSlot(AsioHost* host) {
    for (int i = 0; i < kSlots; ++i) {
        AsioHost* none = nullptr;
        if (g_slots[i].compare_exchange_strong(none, host)) return i;
    }
    return -1;
}

std::string Text(const char* what, int32_t code) { return std::string(what) + " (" + std::to_string(code) + ")"; }

std::pair<uint64_t, uint64_t> Position(IASIO* driver) {
    ASIOSamples samples{};
    ASIOTimeStamp stamp{};
    if (driver->getSamplePosition(&samples, &stamp) != ASE_OK) return {0, 0};
    return {asio::FromAsio(samples.hi, samples.lo), asio::FromAsio(stamp.hi, stamp.lo)};
}

}  // namespace

bool Stream::matched() const {
    if (missed != 0 || late != 0 || channels.empty()) return false;
    for (const ChannelResult& channel : channels) {
        if (!channel.matched() || channel.latency != channels.front().latency) return false;
    }
    return true;
}

AsioHost::AsioHost(HostOptions options) : options_(std::move(options)) {
    slot_ = TakeSlot(this);
    if (slot_ >= 0) callbacks_ = SlotCallbacks(slot_);
}

AsioHost::~AsioHost() {
    release();
    if (slot_ >= 0) g_slots[slot_].store(nullptr);
}

void AsioHost::note(std::string text) {
    std::lock_guard hold(lock_);
    events_.push_back(HostEvent{Clock::now(), std::move(text)});
    changed_.notify_all();
}

HRESULT AsioHost::load(const CLSID& clsid) {
    clsid_ = clsid;
    if (driver_ != nullptr) return S_OK;
    // ASIO drivers answer their own class id as the interface id.
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, reinterpret_cast<LPVOID*>(&driver_));
}

bool AsioHost::init(std::string* error) {
    if (driver_ == nullptr) {
        if (error != nullptr) *error = "no driver is loaded";
        return false;
    }
    if (driver_->init(nullptr) != ASIOTrue) {
        char text[kAsioErrorMessageBytes] = {};
        driver_->getErrorMessage(text);
        std::string message = text;
        while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
        if (error != nullptr) *error = message;
        return false;
    }
    initialised_ = true;
    return true;
}

DriverDescription AsioHost::describe_channels() {
    DriverDescription d;
    if (driver_ == nullptr) return d;
    driver_->getChannels(&d.inputs, &d.outputs);
    for (int32_t input = 0; input < 2; ++input) {
        int32_t count = input != 0 ? d.inputs : d.outputs;
        for (int32_t c = 0; c < count; ++c) {
            ASIOChannelInfo info{};
            info.channel = c;
            info.isInput = input;
            driver_->getChannelInfo(&info);
            std::string text(info.name, strnlen(info.name, sizeof(info.name)));
            (input != 0 ? d.inputNames : d.outputNames).push_back(text);
        }
    }
    return d;
}

DriverDescription AsioHost::describe() {
    DriverDescription d = describe_channels();
    if (driver_ == nullptr) return d;
    char name[kAsioDriverNameBytes] = {};
    driver_->getDriverName(name);
    d.name = name;
    d.version = driver_->getDriverVersion();
    d.sizeResult = driver_->getBufferSize(&d.minSize, &d.maxSize, &d.preferredSize, &d.granularity);
    driver_->getSampleRate(&d.rate);
    for (uint32_t rate : kUsualRates) d.rates.emplace_back(rate, driver_->canSampleRate(rate));
    ASIOClockSource clocks[kMaxClockSources] = {};
    int32_t count = kMaxClockSources;
    if (driver_->getClockSources(clocks, &count) == ASE_OK) {
        d.clocks.assign(clocks, clocks + std::clamp(count, 0, kMaxClockSources));
    }
    driver_->getLatencies(&d.inputLatency, &d.outputLatency);
    return d;
}

ASIOError AsioHost::create_buffers(uint32_t frames, std::string* error) {
    int32_t inputs = 0;
    int32_t outputs = 0;
    if (ASIOError result = driver_->getChannels(&inputs, &outputs); result != ASE_OK) {
        *error = Text("the driver has no channels", result);
        return result;
    }
    // The channels asked for (every one by default) that the device has now:
    // its counts change with the rate's band.
    std::vector<uint32_t> outs;
    std::vector<uint32_t> ins;
    auto wanted = [&](uint32_t c) {
        return options_.channels.empty() ||
               std::find(options_.channels.begin(), options_.channels.end(), c) != options_.channels.end();
    };
    for (uint32_t c = 0; c < static_cast<uint32_t>(outputs); ++c) {
        if (wanted(c)) outs.push_back(c);
    }
    for (uint32_t c = 0; c < static_cast<uint32_t>(inputs); ++c) {
        if (wanted(c)) ins.push_back(c);
    }
    if (outs.empty() && ins.empty()) {
        *error = "none of the channels asked for exists";
        return ASE_InvalidParameter;
    }
    infos_.clear();
    for (uint32_t c : outs) infos_.push_back(ASIOBufferInfo{ASIOFalse, static_cast<int32_t>(c), {nullptr, nullptr}});
    for (uint32_t c : ins) infos_.push_back(ASIOBufferInfo{ASIOTrue, static_cast<int32_t>(c), {nullptr, nullptr}});
    if (slot_ < 0) {
        *error = "too many hosts in one program";
        return ASE_NoMemory;
    }
    ASIOError result =
        driver_->createBuffers(infos_.data(), static_cast<int32_t>(infos_.size()), static_cast<int32_t>(frames), &callbacks_);
    if (result != ASE_OK) {
        *error = Text(("creating buffers of " + std::to_string(frames) + " frames failed").c_str(), result);
        infos_.clear();
        return result;
    }
    buffersCreated_ = true;
    frames_ = frames;
    outputChannels_ = outs;
    for (int half = 0; half < 2; ++half) {
        outputs_[half].clear();
        inputs_[half].clear();
        for (size_t i = 0; i < infos_.size(); ++i) {
            auto* buffer = static_cast<int32_t*>(infos_[i].buffers[half]);
            (i < outs.size() ? outputs_[half] : inputs_[half]).push_back(buffer);
        }
    }
    // Checked: the channels the interface loops back, present both ways.
    checkedInputs_.clear();
    scratch_.clear();
    for (size_t i = 0; i < ins.size(); ++i) {
        if (std::find(outs.begin(), outs.end(), ins[i]) == outs.end()) continue;
        checkedInputs_.push_back(i);
        scratch_.emplace_back(frames, 0);
    }
    return ASE_OK;
}

// Caller: the host's thread, with no switch running (the driver not started).
void AsioHost::close_stream() {
    std::lock_guard hold(lock_);
    if (streams_.empty()) return;
    if (check_) streams_.back().channels = check_->results();
    time_stream(streams_.back(), Clock::now());
}

void AsioHost::time_stream(Stream& stream, Clock::time_point now) {
    if (streamStart_ == Clock::time_point{}) return;
    Clock::time_point last = lastSwitch_ != Clock::time_point{} ? lastSwitch_ : streamStart_;
    stream.seconds = std::chrono::duration<double>(now - streamStart_).count();
    stream.quietSeconds = std::chrono::duration<double>(now - last).count();
}

ASIOError AsioHost::start(std::string* error) {
    std::string ignored;
    if (error == nullptr) error = &ignored;
    if (driver_ == nullptr || !initialised_) {
        *error = "the driver is not initialised";
        return ASE_NotPresent;
    }
    if (started_) return ASE_OK;
    if (!buffersCreated_) {
        ASIOSampleRate current = 0;
        driver_->getSampleRate(&current);
        if (firstStart_ && options_.rate != 0 && static_cast<uint32_t>(current) != options_.rate) {
            if (ASIOError result = driver_->setSampleRate(options_.rate); result != ASE_OK) {
                *error = Text(("the driver refused the rate " + std::to_string(options_.rate) + " Hz").c_str(), result);
                return result;
            }
        }
        int32_t minimum = 0, maximum = 0, preferred = 0, granularity = 0;
        if (ASIOError result = driver_->getBufferSize(&minimum, &maximum, &preferred, &granularity); result != ASE_OK) {
            *error = Text("the driver reports no buffer size", result);
            return result;
        }
        uint32_t frames = firstStart_ && options_.bufferSize != 0 ? options_.bufferSize : static_cast<uint32_t>(preferred);
        if (ASIOError result = create_buffers(frames, error); result != ASE_OK) return result;
    }
    ASIOSampleRate rate = 0;
    driver_->getSampleRate(&rate);
    DriverDescription now = describe_channels();
    int32_t inputLatency = 0;
    int32_t outputLatency = 0;
    driver_->getLatencies(&inputLatency, &outputLatency);
    {
        std::lock_guard hold(lock_);
        Stream stream;
        stream.number = static_cast<uint32_t>(streams_.size() + 1);
        stream.rate = static_cast<uint32_t>(rate);
        stream.bufferSize = frames_;
        stream.inputLatency = inputLatency;
        stream.outputLatency = outputLatency;
        stream.outputNames = std::move(now.outputNames);
        stream.inputNames = std::move(now.inputNames);
        streams_.push_back(stream);
        std::vector<uint32_t> checked;
        for (size_t i : checkedInputs_) checked.push_back(static_cast<uint32_t>(infos_[outputChannels_.size() + i].channelNum));
        signal_ = std::make_unique<SignalSource>(options_.signal, stream.rate, stream.number);
        check_ = std::make_unique<LoopbackCheck>(*signal_, frames_, checked, int64_t{inputLatency} + outputLatency);
        expected_ = 0;
        lastSwitch_ = Clock::time_point{};
        streamStart_ = Clock::now();
        lastSeen_.reset();
    }
    if (ASIOError result = driver_->start(); result != ASE_OK) {
        *error = Text("start failed", result);
        return result;
    }
    started_ = true;
    firstStart_ = false;
    auto baseline = Position(driver_);
    std::lock_guard hold(lock_);
    if (!lastSeen_) lastSeen_ = baseline;
    return ASE_OK;
}

ASIOError AsioHost::stop() {
    if (driver_ == nullptr || !started_) return ASE_OK;
    ASIOError result = driver_->stop();
    started_ = false;
    close_stream();
    return result;
}

ASIOError AsioHost::dispose() {
    if (driver_ == nullptr || !buffersCreated_) return ASE_OK;
    ASIOError result = driver_->disposeBuffers();
    buffersCreated_ = false;
    return result;
}

void AsioHost::release() {
    if (driver_ == nullptr) return;
    (void)stop();
    (void)dispose();
    driver_->Release();
    driver_ = nullptr;
    initialised_ = false;
}

ASIOError AsioHost::change_rate(uint32_t rate) {
    if (driver_ == nullptr) return ASE_NotPresent;
    bool wasRunning = started_;
    (void)stop();
    ASIOError result = driver_->setSampleRate(rate);
    if (result != ASE_OK || !wasRunning) return result;
    return start(nullptr);
}

bool AsioHost::reset_pending() {
    std::lock_guard hold(lock_);
    return resetPending_;
}

AsioHost::Recovery AsioHost::recover(std::string* error) {
    std::string ignored;
    if (error == nullptr) error = &ignored;
    {
        std::lock_guard hold(lock_);
        if (resetPending_) ++resets_;
        resetPending_ = false;
    }
    release();
    if (HRESULT created = load(clsid_); FAILED(created)) {
        char text[32];
        std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(created));
        *error = std::string("creating the driver failed (") + text + ")";
        return Recovery::Failed;
    }
    if (!init(error)) {
        release();
        return Recovery::NoDevice;
    }
    if (ASIOError result = start(error); result != ASE_OK) {
        release();
        return result == ASE_NotPresent ? Recovery::NoDevice : Recovery::Failed;
    }
    return Recovery::Streaming;
}

bool AsioHost::catch_up(uint32_t timeoutMs) {
    if (driver_ == nullptr || !started_) return true;
    auto now = Position(driver_);
    std::unique_lock hold(lock_);
    return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                             [&] { return lastSeen_ && *lastSeen_ == now; });
}

bool AsioHost::wait_for_message(int32_t selector, uint32_t timeoutMs) {
    std::unique_lock hold(lock_);
    return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
        return std::find(messages_.begin(), messages_.end(), selector) != messages_.end();
    });
}

void AsioHost::wait_for_attention(uint32_t ms) {
    std::unique_lock hold(lock_);
    changed_.wait_for(hold, std::chrono::milliseconds(ms), [&] { return resetPending_ || !events_.empty(); });
}

std::vector<HostEvent> AsioHost::take_events() {
    std::lock_guard hold(lock_);
    return std::exchange(events_, {});
}

std::vector<Stream> AsioHost::streams() {
    std::lock_guard hold(lock_);
    std::vector<Stream> all = streams_;
    if (started_ && !all.empty() && check_) {
        all.back().channels = check_->results();
        time_stream(all.back(), Clock::now());
    }
    return all;
}

std::vector<SwitchSeen> AsioHost::switches_seen() {
    std::lock_guard hold(lock_);
    return seen_;
}

std::vector<double> AsioHost::rate_changes() {
    std::lock_guard hold(lock_);
    return rateChanges_;
}

std::vector<int32_t> AsioHost::messages() {
    std::lock_guard hold(lock_);
    return messages_;
}

// The driver's notification thread, between start and stop.
void AsioHost::on_switch(int32_t index, const ASIOTime* time) {
    Clock::time_point now = Clock::now();
    SwitchSeen seen;
    seen.index = index;
    if (time != nullptr) {
        seen.position = asio::FromAsio(time->timeInfo.samplePosition.hi, time->timeInfo.samplePosition.lo);
        seen.systemTime = asio::FromAsio(time->timeInfo.systemTime.hi, time->timeInfo.systemTime.lo);
        seen.flags = time->timeInfo.flags;
        seen.rate = time->timeInfo.sampleRate;
    } else {
        std::tie(seen.position, seen.systemTime) = Position(driver_);
    }
    std::lock_guard hold(lock_);
    if (streams_.empty() || !check_ || frames_ == 0) return;
    Stream& stream = streams_.back();
    ++stream.switches;
    if (lastSwitch_ != Clock::time_point{}) {
        stream.intervalsUs.push_back(std::chrono::duration<double, std::micro>(now - lastSwitch_).count());
    }
    lastSwitch_ = now;
    seen_.push_back(seen);
    lastSeen_ = std::make_pair(seen.position, seen.systemTime);
    changed_.notify_all();

    // The half this switch hands over: the driver reads the half before the
    // position, so a position a switch further on means the host woke late.
    uint64_t position = seen.position;
    bool behind = false;
    if (((position / frames_) & 1) != static_cast<uint64_t>(index & 1)) {
        behind = true;
        position = position >= frames_ ? position - frames_ : 0;
    }
    if (position < expected_) return;  // a half served already
    // Halves that went by unseen played what the host never wrote.
    for (uint64_t missed = expected_; missed < position; missed += frames_) {
        ++stream.missed;
        check_->taint(missed);
    }
    expected_ = position + frames_;
    int half = index & 1;
    for (size_t i = 0; i < checkedInputs_.size(); ++i) {
        std::memcpy(scratch_[i].data(), inputs_[half][checkedInputs_[i]], frames_ * sizeof(int32_t));
    }
    for (size_t j = 0; j < outputChannels_.size(); ++j) {
        int32_t* out = outputs_[half][j];
        for (uint32_t k = 0; k < frames_; ++k) out[k] = signal_->sample(outputChannels_[j], position + k);
    }
    // Done before the device moved on to this half, or not: then what it
    // played and what was read here may be neither this half's nor the last.
    if (behind || Position(driver_).first > position) {
        ++stream.late;
        ++stream.uncheckedHalves;
        check_->taint(position);
        return;
    }
    for (size_t i = 0; i < checkedInputs_.size(); ++i) check_->captured(i, position, scratch_[i].data());
}

int32_t AsioHost::on_message(int32_t selector, int32_t value) {
    std::unique_lock hold(lock_);
    messages_.push_back(selector);
    switch (selector) {
        case kAsioSelectorSupported:
            return value == kAsioResetRequest || value == kAsioEngineVersion || value == kAsioResyncRequest ||
                   (value == kAsioSupportsTimeInfo && options_.timeInfo) ||
                   (value == kAsioLatenciesChanged && options_.latencyMessages);
        case kAsioEngineVersion:
            return kHostEngineVersion;
        case kAsioSupportsTimeInfo:
            return options_.timeInfo ? 1 : 0;
        case kAsioResetRequest:
            resetPending_ = true;
            events_.push_back(HostEvent{Clock::now(), "the driver asks for a reset"});
            changed_.notify_all();
            return 1;
        case kAsioResyncRequest:
            if (check_) check_->expect_relock(expected_);
            events_.push_back(HostEvent{Clock::now(), "the driver asks for a resync"});
            changed_.notify_all();
            return 1;
        case kAsioLatenciesChanged: {
            if (!options_.latencyMessages) return 0;
            int32_t input = 0;
            int32_t output = 0;
            hold.unlock();
            driver_->getLatencies(&input, &output);
            hold.lock();
            if (!streams_.empty()) {
                streams_.back().inputLatency = input;
                streams_.back().outputLatency = output;
            }
            // The device's offset moved: the signal comes back at the new round trip.
            if (check_) {
                check_->report_latency(int64_t{input} + output);
                check_->expect_relock(expected_);
            }
            events_.push_back(HostEvent{Clock::now(), "the latencies changed: input " + std::to_string(input) +
                                                          ", output " + std::to_string(output) + " frames"});
            changed_.notify_all();
            return 1;
        }
        default:
            return 0;
    }
}

void AsioHost::on_rate_change(double rate) {
    std::lock_guard hold(lock_);
    rateChanges_.push_back(rate);
    events_.push_back(HostEvent{Clock::now(), "the sample rate changed to " + std::to_string(static_cast<uint32_t>(rate)) + " Hz"});
    changed_.notify_all();
}

}  // namespace vexa::asio_host

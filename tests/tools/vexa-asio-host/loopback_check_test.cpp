// The host's check itself, fed by hand: a loop that is faithful passes at its
// latency, and every way of getting the audio wrong (a frame lost, one
// doubled, a channel swapped, a sample changed, a late stream's leftovers
// after the lock) is counted as a mismatch, while a host's own late halves
// and an announced latency change are not.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "tools/vexa-asio-host/loopback_check.h"
#include "tools/vexa-asio-host/signal.h"

namespace {

using namespace vexa::asio_host;

constexpr uint32_t kRate = 48000;
constexpr uint32_t kHalf = 64;
constexpr uint64_t kLatency = 300;

// What came back at capture frame `frame` of channel `channel`, given what was played.
using Loop = std::function<int32_t(const SignalSource&, uint32_t channel, uint64_t frame)>;

int32_t Faithful(const SignalSource& s, uint32_t channel, uint64_t frame) {
    return frame < kLatency ? 0 : s.sample(channel, frame - kLatency);
}

// Runs `halves` halves of channels 0 and 1 through `loop` into a check (told the driver's round trip
// `reported`, when one is given).
std::vector<ChannelResult> Loopback(Signal signal, const Loop& loop, uint64_t halves = 40,
                               const std::function<void(LoopbackCheck&, uint64_t position)>& each = nullptr,
                               int64_t reported = -1) {
    SignalSource source(signal, kRate, 1);
    LoopbackCheck check(source, kHalf, {0, 1}, reported);
    std::vector<int32_t> half(kHalf);
    for (uint64_t h = 0; h < halves; ++h) {
        uint64_t position = h * kHalf;
        if (each) each(check, position);
        for (size_t index = 0; index < 2; ++index) {
            for (uint32_t k = 0; k < kHalf; ++k) half[k] = loop(source, static_cast<uint32_t>(index), position + k);
            check.captured(index, position, half.data());
        }
    }
    return check.results();
}

struct FaultCase {
    const char* name;
    Loop loop;
};

// A faithful loop is found at its latency with both signals, every frame compared.
TEST(LoopbackCheckTest, AFaithfulLoopMatchesAtItsLatency) {
    for (Signal signal : {Signal::Ramp, Signal::Sine}) {
        for (const ChannelResult& r : Loopback(signal, Faithful)) {
            EXPECT_TRUE(r.matched()) << SignalName(signal) << " channel " << r.channel;
            EXPECT_EQ(r.latency, static_cast<int64_t>(kLatency));
            // All but the signal's first frames, when they start too near a half's end to lock on there.
            EXPECT_GE(r.checked, 40u * kHalf - 32);
        }
    }
}

// Each way of damaging the audio after the lock is caught, with either signal.
TEST(LoopbackCheckTest, DamageAfterTheLockIsAMismatch) {
    constexpr uint64_t kAt = 1500;  // well after the signal came back
    const FaultCase cases[] = {
        {"a frame lost", [](const SignalSource& s, uint32_t c, uint64_t f) {
             return Faithful(s, c, f >= kAt ? f + 1 : f);
         }},
        {"a frame doubled", [](const SignalSource& s, uint32_t c, uint64_t f) {
             return Faithful(s, c, f > kAt ? f - 1 : f);
         }},
        {"channels swapped", [](const SignalSource& s, uint32_t c, uint64_t f) {
             return Faithful(s, f >= kAt ? 1 - c : c, f);
         }},
        {"one sample's low bit", [](const SignalSource& s, uint32_t c, uint64_t f) {
             return Faithful(s, c, f) ^ (f == kAt ? 0x100 : 0);
         }},
        {"silence", [](const SignalSource& s, uint32_t c, uint64_t f) {
             return f >= kAt && f < kAt + 10 ? 0 : Faithful(s, c, f);
         }},
        {"the previous stream's samples", [](const SignalSource& s, uint32_t c, uint64_t f) {
             static const SignalSource previousRamp(Signal::Ramp, kRate, 0);
             static const SignalSource previousSine(Signal::Sine, kRate, 0);
             const SignalSource& previous = s.signal() == Signal::Ramp ? previousRamp : previousSine;
             return f >= kAt && f < kAt + 10 ? previous.sample(c, f - kLatency) : Faithful(s, c, f);
         }},
    };
    for (Signal signal : {Signal::Ramp, Signal::Sine}) {
        for (const FaultCase& fault : cases) {
            for (const ChannelResult& r : Loopback(signal, fault.loop)) {
                EXPECT_FALSE(r.matched()) << fault.name << ", " << SignalName(signal) << ", channel " << r.channel;
                EXPECT_GT(r.mismatches, 0u) << fault.name;
                EXPECT_GE(r.firstMismatch, static_cast<int64_t>(kAt)) << fault.name;
            }
        }
    }
}

// A signal that never comes back (a dead channel, or a constant) is no match, however long it runs.
TEST(LoopbackCheckTest, NothingBackIsNoMatch) {
    for (int32_t value : {0, 0x12345601}) {
        for (const ChannelResult& r : Loopback(Signal::Ramp, [&](const SignalSource&, uint32_t, uint64_t) { return value; })) {
            EXPECT_FALSE(r.matched()) << value;
            EXPECT_EQ(r.latency, -1);
        }
    }
}

// Halves the host played late are left out: what came back of them is not held against the driver.
TEST(LoopbackCheckTest, TaintedHalvesAreNotCompared) {
    constexpr uint64_t kBad = 20 * kHalf;
    Loop garbled = [](const SignalSource& s, uint32_t c, uint64_t f) {
        return f >= kBad + kLatency && f < kBad + kLatency + kHalf ? 7 : Faithful(s, c, f);
    };
    auto untainted = Loopback(Signal::Ramp, garbled);
    EXPECT_FALSE(untainted[0].matched()) << "without the taint it is a mismatch";
    auto tainted = Loopback(Signal::Ramp, garbled, 40, [](LoopbackCheck& check, uint64_t position) {
        if (position == kBad) check.taint(kBad);
    });
    for (const ChannelResult& r : tainted) {
        EXPECT_TRUE(r.matched()) << "channel " << r.channel;
        EXPECT_GE(r.checked, 39u * kHalf - 32);
        EXPECT_LE(r.checked, 39u * kHalf);
    }
}

// An announced latency change: the channel finds its new latency, and mismatches in the halves just before the
// message are the change's; mismatches well before it, or after the relock, still count.
TEST(LoopbackCheckTest, AnAnnouncedChangeRelocksButForgivesOnlyItsOwnHalves) {
    constexpr uint64_t kChange = 1280;
    constexpr uint64_t kNewLatency = kLatency + 96;
    Loop moved = [](const SignalSource& s, uint32_t c, uint64_t f) {
        if (f < kChange) return Faithful(s, c, f);
        return s.sample(c, f - kNewLatency);
    };
    auto unannounced = Loopback(Signal::Ramp, moved);
    EXPECT_GT(unannounced[0].mismatches, 0u) << "an unannounced change is a mismatch";
    auto announced = Loopback(Signal::Ramp, moved, 60, [](LoopbackCheck& check, uint64_t position) {
        if (position == kChange + 2 * kHalf) check.expect_relock(position);
    });
    for (const ChannelResult& r : announced) {
        EXPECT_TRUE(r.matched()) << "channel " << r.channel << " first at " << r.firstMismatch;
        EXPECT_EQ(r.latency, static_cast<int64_t>(kNewLatency));
        EXPECT_EQ(r.firstLatency, static_cast<int64_t>(kLatency));
        EXPECT_EQ(r.relocks, 1u);
    }
    // The message long after the change explains nothing before its look-back.
    auto tooLate = Loopback(Signal::Ramp, moved, 60, [](LoopbackCheck& check, uint64_t position) {
        if (position == kChange + 20 * kHalf) check.expect_relock(position);
    });
    EXPECT_GT(tooLate[0].mismatches, 0u);
}

// The round trip the driver reports is the one right latency: a loop that brings every sample back
// exactly but at another latency (a device or driver that does not account for a term) is a
// mismatch in every frame; after a reported change the new round trip is the one.
TEST(LoopbackCheckTest, OnlyTheReportedLatencyMatches) {
    for (Signal signal : {Signal::Ramp, Signal::Sine}) {
        SCOPED_TRACE(SignalName(signal));
        for (const ChannelResult& r : Loopback(signal, Faithful, 40, nullptr, kLatency)) {
            EXPECT_TRUE(r.matched()) << "channel " << r.channel;
        }
        for (int64_t reported : {int64_t{kLatency} - 1, int64_t{kLatency} + 86}) {
            for (const ChannelResult& r : Loopback(signal, Faithful, 40, nullptr, reported)) {
                EXPECT_FALSE(r.matched()) << "reported " << reported;
                EXPECT_EQ(r.latency, static_cast<int64_t>(kLatency)) << "measured all the same";
                EXPECT_GE(r.mismatches, 40u * kHalf - kLatency - 32) << "every frame after the lock";
            }
        }
    }
    constexpr uint64_t kChange = 1280;
    constexpr uint64_t kNewLatency = kLatency + 96;
    Loop moved = [](const SignalSource& s, uint32_t c, uint64_t f) {
        return f < kChange ? Faithful(s, c, f) : s.sample(c, f - kNewLatency);
    };
    for (int64_t newReported : {int64_t{kNewLatency}, int64_t{kNewLatency} - 48}) {
        auto results = Loopback(Signal::Ramp, moved, 60, [&](LoopbackCheck& check, uint64_t position) {
            if (position != kChange + 2 * kHalf) return;
            check.report_latency(newReported);
            check.expect_relock(position);
        }, kLatency);
        for (const ChannelResult& r : results) {
            EXPECT_EQ(r.matched(), newReported == static_cast<int64_t>(kNewLatency)) << "reported " << newReported;
            EXPECT_EQ(r.latency, static_cast<int64_t>(kNewLatency));
        }
    }
}

// The sine's frame is recovered from its values: locate finds the one latency under a second that fits.
TEST(LoopbackCheckTest, TheSineLocatesEveryLatency) {
    SignalSource sine(Signal::Sine, 44100, 3);
    std::vector<int32_t> run(32);
    for (uint64_t latency : {0ull, 1ull, 47ull, 1024ull, 44099ull}) {
        uint64_t at = 100000;
        for (uint32_t k = 0; k < run.size(); ++k) run[k] = sine.sample(2, at - latency + k);
        EXPECT_EQ(sine.locate(2, at, run.data(), 32, 44099), static_cast<int64_t>(latency));
        EXPECT_EQ(sine.locate(3, at, run.data(), 32, 44099), -1) << "another channel's tag never fits";
    }
}

}  // namespace

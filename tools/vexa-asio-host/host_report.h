// What vexa-asio-host prints: the driver's description, and at the end the
// report of every stream (switches, drop-outs, the latencies the driver
// reported against the round trip measured, and per channel whether what
// came back matched what went out), the buffer-switch jitter, and the verdict.
#pragma once

#include <cstdio>
#include <vector>

#include "asio_host.h"

namespace vexa::asio_host {

// The time between buffer switches against the ideal (the half's duration), in microseconds.
struct JitterStats {
    size_t count = 0;
    double medianUs = 0, p99Us = 0, p999Us = 0, maxUs = 0;
};
JitterStats Jitter(const std::vector<Stream>& streams);

enum class Verdict {
    Matched,         // every channel came back matching, with no drop-out
    Mismatch,        // something came back other than it went out, with no drop-out to explain it
    Stopped,         // a stream's buffer switches ended for good while the host still ran it
    HostBehind,      // the host's own thread missed or served switches late
    NothingChecked,  // no stream ran long enough for its signal to come back
    NoInterface,     // the run ended waiting for an interface to stream to (the caller's verdict)
};
// The streams' verdict. A stream that stopped is the drivers' fault, never
// the host's: it is judged before a host that fell behind.
Verdict Judge(const std::vector<Stream>& streams);
const char* VerdictText(Verdict verdict);

// Whether the stream ran long enough for the signal to come back and be checked.
bool LongEnough(const Stream& stream);
// Whether the stream's switches ended while the host still ran it: no switch
// for kStoppedSeconds before its stop (or since its start). A busy computer
// delays a switch by milliseconds; the driver keeps switching until it asks
// for a reset, after which the host stops the stream itself.
inline constexpr double kStoppedSeconds = 2.0;
bool Stopped(const Stream& stream);

void PrintDescription(FILE* out, const DriverDescription& description);
// The report of every stream and `verdict`'s line.
void PrintReport(FILE* out, const std::vector<Stream>& streams, const DriverDescription& description,
                 Verdict verdict);

}  // namespace vexa::asio_host

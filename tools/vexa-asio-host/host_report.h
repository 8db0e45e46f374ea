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
    HostBehind,      // the host's own thread missed or served switches late
    NothingChecked,  // no stream ran long enough for its signal to come back
};
Verdict Judge(const std::vector<Stream>& streams);
const char* VerdictText(Verdict verdict);

// Whether the stream ran long enough for the signal to come back and be checked.
bool LongEnough(const Stream& stream);

void PrintDescription(FILE* out, const DriverDescription& description);
void PrintReport(FILE* out, const std::vector<Stream>& streams, const DriverDescription& description);

}  // namespace vexa::asio_host

#pragma once

// vexa-machine in a process of its own, for the benchmarks that measure it
// from outside: its share of a core and the host streaming through it.

#include <sys/types.h>

#include <cstdio>
#include <string>

#include "support/temp_dir.h"

namespace vexa::bench {

// User and system CPU time of a process, in clock ticks.
long CpuTicks(pid_t pid);

// A process's CPU time between two readings as seconds.
double TicksToSeconds(long ticks);

// vexa-machine with its state and socket in `dir`, running until the object goes.
class MachineProcess {
public:
    MachineProcess(const char* program, const vexa::test::TempDir& dir);
    ~MachineProcess();
    MachineProcess(const MachineProcess&) = delete;
    MachineProcess& operator=(const MachineProcess&) = delete;

    // True once it printed "ready on"; its standard input stays open until it goes.
    bool ready() const { return ready_; }
    pid_t pid() const { return pid_; }
    const std::string& socket() const { return socket_; }

private:
    std::string socket_;
    pid_t pid_ = -1;
    FILE* lines_ = nullptr;
    bool ready_ = false;
};

}  // namespace vexa::bench

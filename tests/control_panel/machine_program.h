// vexa-machine run as a program of its own for the panel's window tests: a
// state folder and a socket of its own, the interfaces named (none unless
// asked), commands on its standard input, its output kept in a file.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

namespace cpl::test {

class MachineProgram {
public:
    // State in folder/machine-state, the socket folder/machine.sock, the output folder/machine.txt.
    // `devices` are --device values ("none", "cantile-qe", "cantile-qk").
    MachineProgram(const std::string& program, const std::string& folder,
                   const std::vector<std::string>& devices = {"none"});
    ~MachineProgram();  // shuts it down if it still runs
    MachineProgram(const MachineProgram&) = delete;
    MachineProgram& operator=(const MachineProgram&) = delete;

    bool started() const { return pid_ > 0; }
    // True once it has said it serves its socket.
    bool ready() const;
    const std::string& socket() const { return socket_; }

    // Ends it at once, as a crash would: its clients find the socket dead.
    void crash();

    std::string output() const;

    // Types one line on its standard input ("plug cantile-qe", "unplug 1"); false when it is gone.
    bool command(const std::string& line);

private:
    void end(int signal);

    pid_t pid_ = -1;
    int input_ = -1;  // the write end of its standard input
    std::string socket_;
    std::string outputFile_;
};

}  // namespace cpl::test

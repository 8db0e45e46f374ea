// The control panel program run as its own process, with its own home folder,
// display and machine socket, its output kept in a file.
#pragma once

#include <optional>
#include <string>

#include <sys/types.h>

namespace cpl::test {

class PanelProcess {
public:
    // `machineSocket` is where the program finds vexa-machine (VEXA_MACHINE_SOCKET).
    PanelProcess(const std::string& program, const std::string& display, const std::string& home,
                 const std::string& machineSocket, const std::string& outputFile);
    ~PanelProcess();  // ends the program if it still runs
    PanelProcess(const PanelProcess&) = delete;
    PanelProcess& operator=(const PanelProcess&) = delete;

    bool started() const { return pid_ > 0; }

    // The exit status once the program has ended (a signal counts as 128 + its number).
    std::optional<int> exitStatus();

    void signal(int number);

    // What the program wrote to its standard output and error.
    std::string output() const;

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string outputFile_;
};

// The machine-wide lock by which JUCE keeps a second instance out (a file
// under /var/tmp named after the application): the pid of the process that
// holds it, or 0.
pid_t panelInstanceLockHolder();

}  // namespace cpl::test

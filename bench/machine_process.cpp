#include "machine_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

namespace vexa::bench {

long CpuTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    // Fields after the command name (which may hold spaces) start after the last ')'.
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    long user = 0;
    long system = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) user = std::stol(field);
        if (index == 15) {
            system = std::stol(field);
            break;
        }
    }
    return user + system;
}

double TicksToSeconds(long ticks) {
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

MachineProcess::MachineProcess(const char* program, const vexa::test::TempDir& dir)
    : socket_((dir.path() / "machine.sock").string()) {
    std::string stateDir = (dir.path() / "state").string();
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        execl(program, program, "--state", stateDir.c_str(), "--socket", socket_.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    lines_ = fdopen(out[0], "r");
    char line[512];
    while (!ready_ && std::fgets(line, sizeof(line), lines_) != nullptr) {
        ready_ = std::strstr(line, "ready on") != nullptr;
    }
}

MachineProcess::~MachineProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGINT);
        waitpid(pid_, nullptr, 0);
    }
    if (lines_ != nullptr) std::fclose(lines_);
}

}  // namespace vexa::bench

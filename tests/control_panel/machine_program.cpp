#include "machine_program.h"

#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace cpl::test {

namespace {

// Saving the registry on the way out takes a moment; a machine that takes
// longer than this is ended by force.
constexpr auto kShutDownTimeout = std::chrono::seconds(20);

}  // namespace

MachineProgram::MachineProgram(const std::string& program, const std::string& folder,
                               const std::vector<std::string>& devices)
    : socket_(folder + "/machine.sock"), outputFile_(folder + "/machine.txt") {
    std::vector<std::string> args = {program, "--state", folder + "/machine-state", "--socket", socket_};
    for (const std::string& device : devices) {
        args.push_back("--device");
        args.push_back(device);
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int pipeEnds[2] = {-1, -1};
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[0], 0);
    // Truncated: a machine started again in the same folder must not find the last one's "ready on".
    posix_spawn_file_actions_addopen(&actions, 1, outputFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0) pid_ = pid;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeEnds[0]);
    input_ = pipeEnds[1];
}

MachineProgram::~MachineProgram() { end(SIGTERM); }

bool MachineProgram::ready() const { return output().find("ready on") != std::string::npos; }

void MachineProgram::crash() { end(SIGKILL); }

bool MachineProgram::command(const std::string& line) {
    if (input_ < 0) return false;
    ::signal(SIGPIPE, SIG_IGN);  // a machine that is gone answers with an error, not the signal
    const std::string text = line + "\n";
    return ::write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void MachineProgram::end(int signal) {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
    if (pid_ <= 0) return;
    ::kill(pid_, signal);
    const auto deadline = std::chrono::steady_clock::now() + kShutDownTimeout;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // another process: nothing to wait on but its end
    }
    pid_ = -1;
}

std::string MachineProgram::output() const {
    std::ifstream in(outputFile_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace cpl::test

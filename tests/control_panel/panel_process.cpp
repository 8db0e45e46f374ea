#include "panel_process.h"

#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace cpl::test {

PanelProcess::PanelProcess(const std::string& program, const std::string& display, const std::string& home,
                           const std::string& machineSocket, const std::string& outputFile)
    : outputFile_(outputFile) {
    // The test's own environment (sanitizer options included) with the home,
    // display and machine replaced.
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "HOME=", 5) == 0 || std::strncmp(*e, "DISPLAY=", 8) == 0 ||
            std::strncmp(*e, "VEXA_MACHINE_SOCKET=", 20) == 0)
            continue;
        env.emplace_back(*e);
    }
    env.push_back("HOME=" + home);
    env.push_back("DISPLAY=" + display);
    env.push_back("VEXA_MACHINE_SOCKET=" + machineSocket);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    std::string path = program;
    char* argv[] = {path.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data()) == 0) pid_ = pid;
    posix_spawn_file_actions_destroy(&actions);
}

PanelProcess::~PanelProcess() {
    if (pid_ > 0 && !exitStatus()) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
}

std::optional<int> PanelProcess::exitStatus() {
    if (status_ || pid_ <= 0) return status_;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return std::nullopt;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
}

void PanelProcess::signal(int number) {
    if (pid_ > 0 && !exitStatus()) ::kill(pid_, number);
}

std::string PanelProcess::output() const {
    std::ifstream in(outputFile_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

pid_t panelInstanceLockHolder() {
    const char* folder = ::access("/var/tmp", F_OK) == 0 ? "/var/tmp" : "/tmp";
    const std::string path = std::string(folder) + "/juceAppLock_QUVVexaUSB Control Panel";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    struct flock query {};
    query.l_type = F_WRLCK;
    query.l_whence = SEEK_SET;
    const pid_t holder = ::fcntl(fd, F_GETLK, &query) == 0 && query.l_type != F_UNLCK ? query.l_pid : 0;
    ::close(fd);
    return holder;
}

}  // namespace cpl::test

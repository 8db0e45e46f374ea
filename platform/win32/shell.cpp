// The shell's and user32's calls: programs started for the machine's
// processes, message boxes on standard error, and no foreground window.
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <thread>

#include "shellapi.h"
#include "user_process.h"

extern char** environ;

namespace {

using platform::win32::shell::Execution;

constexpr intptr_t kStarted = 42;  // any value above 32 means success

struct Started {
    Execution execution;
    bool running = false;  // guarded by the shell state's lock
    int status = 0;        // guarded by the shell state's lock: exit status once it has ended
};

// Never destroyed: a reaper thread may outlive the program's static destructors.
struct ShellState {
    std::mutex lock;
    std::condition_variable exited;
    std::vector<Started> executions;                  // guarded by lock
    platform::win32::MessageBoxResponder responder;  // guarded by lock
};
ShellState& State() {
    static auto* state = new ShellState;
    return *state;
}

HINSTANCE Answer(intptr_t value) { return reinterpret_cast<HINSTANCE>(value); }

size_t Record(Execution execution, bool running) {
    std::lock_guard lock(State().lock);
    State().executions.push_back(Started{std::move(execution), running, 0});
    return State().executions.size() - 1;
}

// Starts `program` with the machine's socket in its environment; its pid, or -1.
pid_t Spawn(const std::string& program, const std::string& parameters, const std::string& socket) {
    std::vector<std::string> args{program};
    std::istringstream words(parameters);
    for (std::string word; words >> word;) args.push_back(word);
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::string_view(*e).rfind("VEXA_MACHINE_SOCKET=", 0) != 0) environment.emplace_back(*e);
    }
    if (!socket.empty()) environment.push_back("VEXA_MACHINE_SOCKET=" + socket);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0) return -1;
    return pid;
}

// The buttons of a message box type, in order.
std::vector<int> Buttons(UINT type) {
    switch (type & 0xF) {
        case MB_OKCANCEL: return {IDOK, IDCANCEL};
        case MB_ABORTRETRYIGNORE: return {IDABORT, IDRETRY, IDIGNORE};
        case MB_YESNOCANCEL: return {IDYES, IDNO, IDCANCEL};
        case MB_YESNO: return {IDYES, IDNO};
        case MB_RETRYCANCEL: return {IDRETRY, IDCANCEL};
        case MB_CANCELTRYCONTINUE: return {IDCANCEL, IDTRYAGAIN, IDCONTINUE};
        default: return {IDOK};
    }
}

}  // namespace

HINSTANCE ShellExecuteA(HWND owner, LPCSTR operation, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                        INT showCommand) {
    Execution execution{owner,
                        operation != nullptr ? operation : "",
                        file != nullptr ? file : "",
                        parameters != nullptr ? parameters : "",
                        directory != nullptr ? directory : "",
                        showCommand,
                        SE_ERR_FNF,
                        {},
                        {}};
    if (operation != nullptr && execution.operation != "open") {
        execution.result = SE_ERR_NOASSOC;
        Record(std::move(execution), false);
        return Answer(SE_ERR_NOASSOC);
    }
    platform::win32::UserProcess* process = platform::win32::current_process();
    std::optional<platform::win32::UserProcess::InstalledFile> installed;
    if (process != nullptr && file != nullptr) {
        std::u16string wide;
        for (char c : execution.file) wide += static_cast<char16_t>(static_cast<unsigned char>(c));
        installed = process->find_installed_file(wide);
    }
    if (!installed) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        Record(std::move(execution), false);
        return Answer(SE_ERR_FNF);
    }
    execution.program = installed->file;
    execution.socket = process->machine_socket();
    pid_t pid = Spawn(installed->file, execution.parameters, execution.socket);
    if (pid < 0) {
        execution.result = SE_ERR_ACCESSDENIED;
        execution.program.clear();
        SetLastError(ERROR_ACCESS_DENIED);
        Record(std::move(execution), false);
        return Answer(SE_ERR_ACCESSDENIED);
    }
    execution.result = kStarted;
    size_t index = Record(std::move(execution), true);
    // The program runs on its own; this reaps it when it ends.
    std::thread([pid, index] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        std::lock_guard lock(State().lock);
        State().executions[index].running = false;
        State().executions[index].status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        State().exited.notify_all();
    }).detach();
    return Answer(kStarted);
}

HWND GetForegroundWindow() { return nullptr; }

int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT type) {
    std::string body = text != nullptr ? text : "";
    std::string title = caption != nullptr ? caption : "Error";
    std::fprintf(stderr, "[%s] %s\n", title.c_str(), body.c_str());
    platform::win32::MessageBoxResponder responder;
    {
        std::lock_guard lock(State().lock);
        responder = State().responder;
    }
    if (responder) return responder(body, title, type);
    std::vector<int> buttons = Buttons(type);
    size_t chosen = (type & 0xF00) >> 8;
    return buttons[chosen < buttons.size() ? chosen : 0];
}

namespace platform::win32 {

void set_message_box_responder(MessageBoxResponder responder) {
    std::lock_guard lock(State().lock);
    State().responder = std::move(responder);
}

namespace shell {

std::vector<Execution> executions() {
    std::lock_guard lock(State().lock);
    std::vector<Execution> all;
    for (const Started& started : State().executions) all.push_back(started.execution);
    return all;
}

void clear_executions() {
    std::unique_lock lock(State().lock);
    // Programs still running keep their slots until they end.
    State().exited.wait(lock, [] {
        for (const Started& started : State().executions) {
            if (started.running) return false;
        }
        return true;
    });
    State().executions.clear();
}

std::optional<int> wait_for_exit(size_t index) {
    std::unique_lock lock(State().lock);
    if (index >= State().executions.size() || State().executions[index].execution.program.empty()) return std::nullopt;
    State().exited.wait(lock, [&] { return !State().executions[index].running; });
    return State().executions[index].status;
}

}  // namespace shell
}  // namespace platform::win32
